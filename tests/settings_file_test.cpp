#include "platform/SettingsFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/SettingsFormat.h"
#include "settings_env.h"

namespace {

using SettingsFileTest = SettingsEnvTest;

constexpr const char* kKey = "SOFTWARE\\KORVANE\\DOWNLOADER";
constexpr const char* kClass = "Korvane Integrated Downloader";

std::vector<fs::path> FolderEntries(const fs::path& folder) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(folder)) entries.push_back(entry.path().filename());
  return entries;
}

TEST(SettingsFormat, EveryByteRoundTripsOnOneLine) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string quoted = settings::Quote(all);
  EXPECT_EQ(quoted.find('\n'), std::string::npos);
  EXPECT_EQ(quoted.find('\r'), std::string::npos);
  size_t pos = 0;
  EXPECT_EQ(settings::Unquote(quoted + "=", pos), all);
  EXPECT_EQ(pos, quoted.size());
}

TEST_F(SettingsFileTest, CrashBeforeRenameKeepsOldFile) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child must write into this test's folder
  ASSERT_TRUE(settings::CSettingsFile(Settings(), kKey, kClass).Set("BIN_PATH", "/old/"));
  const std::string before = ReadBytes(Settings());

  const settings::CSettingsFile crashing(Settings(), kKey, kClass, [] {
    std::_Exit(3);
    return true;
  });
  EXPECT_EXIT(crashing.Set("BIN_PATH", "/new/"), testing::ExitedWithCode(3), "");

  EXPECT_EQ(ReadBytes(Settings()), before);
  // The new file was complete; only the rename was missing.
  int leftovers = 0;
  for (const fs::path& name : FolderEntries(Folder())) {
    if (name == "settings") continue;
    ++leftovers;
    EXPECT_NE(ReadBytes(Folder() / name).find("/new/"), std::string::npos);
  }
  EXPECT_EQ(leftovers, 1);

  const settings::CSettingsFile file(Settings(), kKey, kClass);
  EXPECT_EQ(file.Query("BIN_PATH"), "/old/");
  ASSERT_TRUE(file.Set("BIN_PATH", "/newer/"));
  EXPECT_EQ(file.Query("BIN_PATH"), "/newer/");
}

TEST_F(SettingsFileTest, AbandonedWriteLeavesOnlyTheOldFile) {
  ASSERT_TRUE(settings::CSettingsFile(Settings(), kKey, kClass).Set("PORT", "0"));
  const settings::CSettingsFile abandoning(Settings(), kKey, kClass, [] { return false; });
  EXPECT_FALSE(abandoning.Set("PORT", "1"));
  EXPECT_EQ(abandoning.Query("PORT"), "0");
  EXPECT_EQ(FolderEntries(Folder()), std::vector<fs::path>{"settings"});
}

TEST_F(SettingsFileTest, LinkIsFollowedAndModesKept) {
  fs::create_directory(Folder() / "dotfiles");
  const fs::path real = Folder() / "dotfiles" / "tarvisel";
  fs::create_symlink("dotfiles/tarvisel", Settings());
  const settings::CSettingsFile file(Settings(), kKey, kClass);
  ASSERT_TRUE(file.Set("PORT", "1"));
  EXPECT_TRUE(fs::is_symlink(Settings()));
  EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(file.Set("BAUD", "0"));
  EXPECT_EQ(fs::status(real).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(file.Query("PORT"), "1");
  EXPECT_EQ(file.Query("BAUD"), "0");
}

// Each write reads, changes and replaces the whole file; without the lock, concurrent writers
// would drop each other's values.
TEST_F(SettingsFileTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 3;
  constexpr int kEach = 30;
  const settings::CSettingsFile file(Settings(), kKey, kClass);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&file, t] {
      for (int i = 0; i < kEach; ++i) file.Set("T" + std::to_string(t) + "_" + std::to_string(i), "v");
    });
  }
  for (std::thread& w : writers) w.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      EXPECT_EQ(file.Query("T" + std::to_string(t) + "_" + std::to_string(i)), "v") << t << " " << i;
    }
  }
}

}  // namespace
