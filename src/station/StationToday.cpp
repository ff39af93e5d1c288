#include "StationToday.h"

#include <ctime>
#include <filesystem>

#include "ExitStatus.h"
#include "HistoryDb.h"
#include "IsoTime.h"
#include "platform/Translate.h"

std::optional<TodayCounts> TodayInRecord(const std::string& historyPath, std::chrono::system_clock::time_point now) {
  std::error_code ec;
  if (historyPath.empty() || !std::filesystem::is_regular_file(historyPath, ec)) return std::nullopt;
  std::string error;
  const auto db = CHistoryDb::Open(historyPath, CHistoryDb::Access::Read, error);
  if (!db) return std::nullopt;
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  const auto midnight = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  HistoryFilter filter;
  filter.since = IsoUtc(midnight);
  const auto rows = db->Rows(filter, error);
  if (!rows) return std::nullopt;
  TodayCounts c;
  for (const auto& r : *rows) {
    const OutcomeGroup group = GroupOfOutcome(r.outcome);
    if (group == OutcomeGroup::SetUp) {
      ++c.setUp;
      continue;
    }
    ++c.downloads;
    if (group == OutcomeGroup::Completed) ++c.completed;
    if (group == OutcomeGroup::Stopped) ++c.stopped;
  }
  return c;
}

std::string TodayText(const TodayCounts& c) {
  const auto n = [](auto v) { return static_cast<long long>(v); };
  const long long failed = n(c.downloads - c.completed - c.stopped);
  std::string text =
      c.downloads == 1
          ? TrFormat("today in the record: %lld download, %lld completed, %lld failed", n(c.downloads), n(c.completed),
                     failed)
          : TrFormat("today in the record: %lld downloads, %lld completed, %lld failed", n(c.downloads),
                     n(c.completed), failed);
  if (c.stopped) text += TrFormat(", %lld stopped", n(c.stopped));
  if (c.setUp) text += c.setUp == 1 ? TrFormat("; %lld set-up error", n(c.setUp)) : TrFormat("; %lld set-up errors", n(c.setUp));
  return text;
}
