// The record's times and where it lives by default.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "HistoryPath.h"
#include "IsoTime.h"

namespace {

using Clock = std::chrono::system_clock;

// Sets an environment variable for a scope, or unsets it (nullptr), and puts it back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = getenv(name)) m_old = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
    tzset();
  }
  ~ScopedEnv() {
    if (m_old) setenv(m_name, m_old->c_str(), 1);
    else unsetenv(m_name);
    tzset();
  }

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

TEST(IsoTime, UtcToTheMillisecondSortsAsTime) {
  const Clock::time_point t = Clock::from_time_t(1796721302) + std::chrono::milliseconds(125);
  EXPECT_EQ(IsoUtc(t), "2026-12-08T09:15:02.125Z");
  EXPECT_EQ(IsoUtc(Clock::from_time_t(0)), "1970-01-01T00:00:00.000Z");
  EXPECT_LT(IsoUtc(t), IsoUtc(t + std::chrono::milliseconds(1)));
  EXPECT_LT(IsoUtc(t + std::chrono::seconds(9)), IsoUtc(t + std::chrono::seconds(10)));
}

TEST(IsoTime, WhatAUserMayTypeForSince) {
  ScopedEnv tz("TZ", "KST-9");  // UTC+9, no summer time
  const struct {
    const char* text;
    const char* utc;  // nullptr: refused
  } cases[] = {
      {"2026-12-08", "2026-12-07T15:00:00.000Z"},
      {"2026-12-08 09:15", "2026-12-08T00:15:00.000Z"},
      {"2026-12-08T09:15:02", "2026-12-08T00:15:02.000Z"},
      {"2026-12-08T09:15:02Z", "2026-12-08T09:15:02.000Z"},
      {"2026-12-08Z", "2026-12-08T00:00:00.000Z"},
      {"2026-02-31", nullptr},
      {"2026-13-01", nullptr},
      {"2026-12-08 24:00", nullptr},
      {"2026-12-08 09:60", nullptr},
      {"2026-12-8", nullptr},
      {"yesterday", nullptr},
      {"2026-12-08 09", nullptr},
      {"2026-12-08T09:15:02+09:00", nullptr},
      {"2200-12-31Z", "2200-12-31T00:00:00.000Z"},
      {"4052-12-08 09:15", nullptr},  // beyond the clock's 64-bit nanoseconds
      {"1969-12-31Z", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const auto t = ParseUserTime(c.text);
    if (!c.utc) {
      EXPECT_FALSE(t) << c.text;
      continue;
    }
    ASSERT_TRUE(t) << c.text;
    EXPECT_EQ(IsoUtc(*t), c.utc) << c.text;
  }
  EXPECT_EQ(LocalTimeText("2026-12-08T00:15:02.000Z"), "2026-12-08 09:15:02");
  EXPECT_EQ(LocalTimeText("not a time"), "not a time");
}

TEST(HistoryPath, XdgDataHomeWhenAbsoluteElseHome) {
  const struct {
    const char* xdg;
    const char* home;
    const char* path;
  } cases[] = {
      {"/data", "/home/tech", "/data/tarvisel/history.sqlite"},
      {nullptr, "/home/tech", "/home/tech/.local/share/tarvisel/history.sqlite"},
      {"", "/home/tech", "/home/tech/.local/share/tarvisel/history.sqlite"},
      {"relative/data", "/home/tech", "/home/tech/.local/share/tarvisel/history.sqlite"},
  };
  for (const auto& c : cases) {
    ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(DefaultHistoryPath(), c.path) << (c.xdg ? c.xdg : "(unset)");
  }
}

}  // namespace
