#include "StationToday.h"

#include <ctime>
#include <filesystem>

#include "HistoryDb.h"
#include "IsoTime.h"
#include "SetupOutcome.h"
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
    if (IsSetupOutcome(r.outcome)) {
      ++c.setup;
      continue;
    }
    ++c.downloads;
    if (r.outcome == "completed") ++c.completed;
  }
  return c;
}

std::string TodayText(const TodayCounts& c) {
  return "today in the record: " + std::to_string(c.downloads) + (c.downloads == 1 ? " download, " : " downloads, ") +
         std::to_string(c.completed) + " completed, " + std::to_string(c.downloads - c.completed) + " failed" +
         (c.setup ? "; " + std::to_string(c.setup) + Tr(" not started (port, image or version question)") : "");
}
