// Today's counts in the record: handsets' outcomes, set apart from the station's set-up errors
// (a port that could not be opened, an image refused, a question answered No), and rows of
// yesterday left out.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "HistoryDb.h"
#include "IsoTime.h"
#include "ExitStatus.h"
#include "StationToday.h"

namespace {

TEST(StationToday, SetUpErrorsAreNotFailedDownloads) {
  char tmpl[] = "/tmp/tarvisel-today-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string path = std::string(tmpl) + "/history.sqlite";
  std::string error;
  {
    auto db = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
    ASSERT_TRUE(db) << error;
    const auto now = std::chrono::system_clock::now();
    const std::vector<std::pair<std::string, int>> rows = {
        {"completed", 0}, {"completed", 0}, {"no-reply", 0}, {"line-broke", 0}, {"crashed", 0},
        {"port", 0},      {"refused", 0},   {"declined", 0}, {"read-error", 0},
        {"completed", 1},  // 1: two days ago, not today
        {"no-reply", 1}};
    for (const auto& [outcome, twoDaysAgo] : rows) {
      DownloadRecord r;
      r.start = r.end = IsoUtc(now - std::chrono::hours(48) * twoDaysAgo);
      r.device = "/dev/pts/1";
      r.outcome = outcome;
      ASSERT_TRUE(db->Append(r, error)) << error;
    }
  }
  const auto today = TodayInRecord(path, std::chrono::system_clock::now());
  ASSERT_TRUE(today);
  // A read error comes after the erase: the handset's flash is incomplete, a failed download.
  EXPECT_EQ(*today, (TodayCounts{7, 2, 1, 2}));
  EXPECT_EQ(TodayText(*today), "today in the record: 7 downloads, 2 completed, 4 failed, 1 stopped; 2 set-up errors");
  EXPECT_EQ(TodayText(TodayCounts{1, 1, 0, 0}), "today in the record: 1 download, 1 completed, 0 failed");
  std::filesystem::remove_all(tmpl);
}

TEST(StationToday, WhichOutcomesAreSetUp) {
  for (const char* o : {"port", "refused", "usage"}) EXPECT_EQ(GroupOfOutcome(o), OutcomeGroup::SetUp) << o;
  for (const char* o : {"declined", "stopped", "interrupted"}) EXPECT_EQ(GroupOfOutcome(o), OutcomeGroup::Stopped) << o;
  for (const char* o : {"no-reply", "handset-refused", "out-of-step", "timeout", "line-broke", "crashed", "read-error", ""})
    EXPECT_EQ(GroupOfOutcome(o), OutcomeGroup::Failed) << o;
}

}  // namespace
