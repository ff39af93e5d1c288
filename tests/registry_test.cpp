#include "Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "settings_env.h"

namespace {

using RegistryTest = SettingsEnvTest;

const std::string kHeader = "[SOFTWARE\\KORVANE\\DOWNLOADER]\n";

TEST_F(RegistryTest, MissingFileGivesDefaultsAndReadingCreatesNothing) {
  EXPECT_EQ(CRegistry::ReadInt("PORT", 0), 0);
  EXPECT_EQ(CRegistry::ReadInt("BAUD", 1), 1);
  EXPECT_EQ(CRegistry::ReadString("BIN_PATH"), "");
  EXPECT_FALSE(fs::exists(Settings()));
}

TEST_F(RegistryTest, FirstWriteCreatesFolderAndRecognisableFile) {
  const fs::path path = Folder() / "a" / "b" / "settings";
  SetEnv("TARVISEL_SETTINGS", path);
  ASSERT_TRUE(CRegistry::WriteInt("PORT", 1));
  EXPECT_EQ(ReadBytes(path), kHeader + "class=\"Korvane Integrated Downloader\"\n\"PORT\"=\"1\"\n");
  EXPECT_EQ(CRegistry::ReadInt("PORT", 0), 1);
}

TEST_F(RegistryTest, TextsRoundTripAndStayOneLineEach) {
  const std::vector<std::string> texts = {
      "",
      "C:\\fw\\",
      "\\\\server\\share\\",
      "/home/kim/a=b/c d/",
      "/home/kim/펌웨어/새 폴더/",
      "line\nbreak\r\n",
      "\"quoted\" and \\\"",
      "\\x41\\n stays literal",
      std::string("\x01\t\x1f\x7f\xff", 5),
      std::string(127, 'a'),
      [] {
        std::string korean;
        for (int i = 0; i < 42; ++i) korean += "한";  // 3 bytes each
        return korean + "/";
      }(),
  };
  ASSERT_EQ(texts.back().size(), 127u);
  for (size_t i = 0; i < texts.size(); ++i) {
    ASSERT_TRUE(CRegistry::WriteString("V" + std::to_string(i), texts[i])) << i;
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(CRegistry::ReadString("V" + std::to_string(i)), texts[i]) << i;
  }
  const std::string file = ReadBytes(Settings());
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), static_cast<long>(texts.size() + 2));
}

TEST_F(RegistryTest, RejectedWriteKeepsOldValue) {
  const std::vector<std::string> rejected = {std::string(128, 'a'), std::string(4096, 'b'),
                                             std::string(43, 'c') + std::string(85, 'd'),
                                             std::string("with\0nul", 8)};
  ASSERT_TRUE(CRegistry::WriteString("BIN_PATH", "/old/"));
  for (const std::string& text : rejected) {
    EXPECT_FALSE(CRegistry::WriteString("BIN_PATH", text)) << text.size();
    EXPECT_EQ(CRegistry::ReadString("BIN_PATH"), "/old/");
  }
  EXPECT_FALSE(CRegistry::WriteString(std::string("BIN\0PATH", 8), "x"));
}

TEST_F(RegistryTest, HandWrittenValuesRead) {
  struct Case {
    std::string line;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"\"BIN_PATH\"=\"" + std::string(127, 'p') + "\"\n", std::string(127, 'p')},
      {"\"BIN_PATH\"=\"" + std::string(128, 'p') + "\"\n", ""},  // never a cut-off folder
      {"\"BIN_PATH\"=\"" + std::string(500, 'p') + "\"\n", ""},
      {"\"BIN_PATH\"=\"ab\\x00cd\"\n", "ab"},
      {"\"BIN_PATH\"=\"/no/line/break/\"", "/no/line/break/"},
      {"\"BIN_PATH\"=\"/crlf/\"\r\n", "/crlf/"},
      {"\"BIN_PATH\"=\"/first/\"\n\"BIN_PATH\"=\"/second/\"\n", "/second/"},
      {"\"BIN_PATH\"=\"/cut/of", ""},
      {"\"BIN_PATH\"=\"bad \\q escape\"\n", ""},
      {"\"BIN_PATH\"=\"bad \\x4g hex\"\n", ""},
      {"\"BIN_PATH\"=\"ends in \\", ""},
      {"\"BIN_PATH\"=\"/x/\" junk\n", ""},
      {"BIN_PATH=/unquoted/\n", ""},
  };
  for (const Case& c : cases) {
    WriteBytes(Settings(), kHeader + "; note\n\n\"PORT\"=\"1\"\n" + c.line);
    EXPECT_EQ(CRegistry::ReadString("BIN_PATH"), c.expected) << c.line;
    EXPECT_EQ(CRegistry::ReadInt("PORT", 0), 1) << c.line;
  }
  // A damaged line doesn't stop the file from being written; the rewrite repairs it.
  ASSERT_TRUE(CRegistry::WriteString("BAUD", "0"));
  EXPECT_EQ(CRegistry::ReadString("BIN_PATH"), "");
  EXPECT_EQ(CRegistry::ReadInt("PORT", 0), 1);
  EXPECT_EQ(CRegistry::ReadInt("BAUD", 1), 0);
}

TEST_F(RegistryTest, ReadIntFollowsAtol) {
  struct Case {
    std::string stored;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"1", 1},           {"", 5},  // only an empty value gives the default
      {"abc", 0},         {" 7a", 7},
      {"\t\n\v\f\r 42", 42}, {"  ", 0},
      {"-1", -1},         {"+12", 12},
      {"- 5", 0},         {"0x10", 0},
      {"007", 7},         {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX}, {"99999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(CRegistry::WriteString("PORT", c.stored));
    EXPECT_EQ(CRegistry::ReadInt("PORT", 5), c.expected) << '"' << c.stored << '"';
  }
  EXPECT_EQ(CRegistry::ReadInt("MISSING", -3), -3);
}

TEST_F(RegistryTest, WriteIntStoresDecimalText) {
  for (int32_t n : {-1, 0, 1, INT32_MIN, INT32_MAX}) {
    ASSERT_TRUE(CRegistry::WriteInt("BAUD", n));
    EXPECT_EQ(CRegistry::ReadString("BAUD"), std::to_string(n));
    EXPECT_EQ(CRegistry::ReadInt("BAUD", 99), n);
  }
}

// Files that are not ours read as missing values and are never overwritten.
TEST_F(RegistryTest, ForeignFileReadsEmptyAndIsLeftAlone) {
  std::string junk;
  for (int i = 0; i < 1024; ++i) junk += static_cast<char>(i * 7);
  const std::vector<std::string> files = {
      junk,
      "\"PORT\"=\"1\"\n",
      "[SOFTWARE\\OTHER]\n\"PORT\"=\"1\"\n",
      "\n" + kHeader + "\"PORT\"=\"1\"\n",
      "[SOFTWARE\\KORVANE\\DOWNLOA",
      kHeader + "\"PORT\"=\"1\"\n" + std::string(2 << 20, ';'),
  };
  for (const std::string& bytes : files) {
    WriteBytes(Settings(), bytes);
    EXPECT_EQ(CRegistry::ReadInt("PORT", 9), 9) << bytes.substr(0, 40);
    EXPECT_FALSE(CRegistry::WriteInt("PORT", 0)) << bytes.substr(0, 40);
    EXPECT_EQ(ReadBytes(Settings()), bytes);
  }
}

TEST_F(RegistryTest, EmptyFileIsAnEmptyKey) {
  WriteBytes(Settings(), "");
  EXPECT_EQ(CRegistry::ReadInt("BAUD", 1), 1);
  ASSERT_TRUE(CRegistry::WriteInt("BAUD", 0));
  EXPECT_EQ(CRegistry::ReadInt("BAUD", 1), 0);
}

TEST_F(RegistryTest, UnusableLocationsFailQuietly) {
  fs::create_directory(Settings());  // a folder where the file should be
  EXPECT_EQ(CRegistry::ReadString("PORT"), "");
  EXPECT_FALSE(CRegistry::WriteInt("PORT", 1));

  WriteBytes(Folder() / "plain", "x");  // a file where a folder should be
  SetEnv("TARVISEL_SETTINGS", Folder() / "plain" / "settings");
  EXPECT_EQ(CRegistry::ReadString("PORT"), "");
  EXPECT_FALSE(CRegistry::WriteInt("PORT", 1));

  ASSERT_EQ(::mkfifo((Folder() / "fifo").c_str(), 0600), 0);  // must not wait for a writer
  SetEnv("TARVISEL_SETTINGS", Folder() / "fifo");
  EXPECT_EQ(CRegistry::ReadString("PORT"), "");
  EXPECT_FALSE(CRegistry::WriteInt("PORT", 1));
}

TEST_F(RegistryTest, NoPermissionReadsEmptyAndWritesFail) {
  if (!PermissionsApply()) GTEST_SKIP() << "root ignores permissions";
  ASSERT_TRUE(CRegistry::WriteInt("PORT", 1));
  fs::permissions(Settings(), fs::perms::none);
  EXPECT_EQ(CRegistry::ReadInt("PORT", 0), 0);
  EXPECT_FALSE(CRegistry::WriteInt("BAUD", 0));
  fs::permissions(Settings(), fs::perms::owner_read);
  EXPECT_FALSE(CRegistry::WriteInt("PORT", 0));
  EXPECT_EQ(CRegistry::ReadInt("PORT", 0), 1);
  fs::permissions(Settings(), fs::perms::owner_read | fs::perms::owner_write);

  fs::permissions(Folder(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(CRegistry::WriteInt("PORT", 0));
  EXPECT_EQ(CRegistry::ReadInt("PORT", 0), 1);
  fs::permissions(Folder(), fs::perms::owner_all);
}

TEST_F(RegistryTest, LocationComesFromEnvironment) {
  struct Case {
    std::optional<fs::path> settings, xdg, home;
    fs::path expected;
  };
  const fs::path f = Folder();
  const std::vector<Case> cases = {
      {f / "own.ini", f / "xdg", f / "home", f / "own.ini"},
      {std::nullopt, f / "xdg", f / "home", f / "xdg/tarvisel/settings"},
      {std::nullopt, std::nullopt, f / "home", f / "home/.config/tarvisel/settings"},
      {fs::path(), fs::path(), f / "home", f / "home/.config/tarvisel/settings"},  // empty = unset
      {std::nullopt, fs::path("relative"), f / "home", f / "home/.config/tarvisel/settings"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const auto apply = [](const char* name, const std::optional<fs::path>& v) {
      v ? SetEnv(name, *v) : static_cast<void>(::unsetenv(name));
    };
    apply("TARVISEL_SETTINGS", c.settings);
    apply("XDG_CONFIG_HOME", c.xdg);
    apply("HOME", c.home);
    ASSERT_TRUE(CRegistry::WriteInt("PORT", ++n)) << c.expected;
    EXPECT_EQ(CRegistry::ReadInt("PORT", 0), n);
    EXPECT_NE(ReadBytes(c.expected).find("\"PORT\"=\"" + std::to_string(n) + "\""), std::string::npos)
        << c.expected;
  }
}

}  // namespace
