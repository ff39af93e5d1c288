// --log-dir: names one to one, a file of each handset's own that nothing else holds, and a
// folder checked before anything is sent.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "LogDir.h"
#include "Subprocess.h"

namespace fs = std::filesystem;

namespace {

std::time_t At(int hour, int min, int sec) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 8;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST(LogDir, NamesAreTheDeviceAndTheStartTime) {
  const std::time_t start = At(9, 5, 7);
  const struct {
    std::string dir, device, want;
  } cases[] = {
      {"logs", "/dev/ttyUSB0", "logs/ttyUSB0-20261208-090507.log"},
      {"logs/", "/dev/serial/by-id/usb-FTDI_FT232R_A5-if00-port0",
       "logs/serial+by-id+usb-FTDI_FT232R_A5-if00-port0-20261208-090507.log"},
      {"/var/log/st", "/tmp/x y/pty", "/var/log/st/+tmp+x%20y+pty-20261208-090507.log"},
      {"d", "/dev/../tmp//h1", "d/+tmp+h1-20261208-090507.log"},
  };
  for (const auto& c : cases) EXPECT_EQ(HandsetLogPath(c.dir, c.device, start), c.want) << c.device;
}

// Devices whose names an earlier scheme folded together: each gets a name of its own.
TEST(LogDir, DistinctDevicesNeverShareAName) {
  const std::string cwd = fs::current_path().string();
  const std::vector<std::string> devices = {
      "/dev/st/h1", "/dev/st_h1", "/dev/st+h1", "/dev/st%2Fh1", "/dev/a b", "/dev/a:b", "/dev/a-b", "/dev/a_b",
      "/dev/a%20b", "/dev/ttyUSB0", "/tmp/ttyUSB0", "/dev/tmp/ttyUSB0", "/dev/+tmp+ttyUSB0", "/tmp/한글",
      "ttyUSB0",  // relative: the one in the folder the command runs in
  };
  std::set<std::string> names;
  for (const auto& d : devices) EXPECT_TRUE(names.insert(LogNameOfDevice(d)).second) << d << " -> " << LogNameOfDevice(d);
  EXPECT_EQ(LogNameOfDevice("ttyUSB0"), LogNameOfDevice(cwd + "/ttyUSB0"));
}

class HandsetLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-logdir-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir + "/ro", fs::perms::owner_all, ec);
    fs::remove_all(dir, ec);
  }
  std::string dir;
};

// Whether this process holds the file open, and close-on-exec.
std::optional<bool> HeldCloseOnExec(const std::string& path) {
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec) != path) continue;
    const int fd = std::stoi(e.path().filename().string());
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
  }
  return std::nullopt;
}

TEST_F(HandsetLogTest, AFileThatIsThereIsNeverWrittenToTheNextNameIsTaken) {
  const std::time_t start = At(9, 5, 7);
  const std::string first = HandsetLogPath(dir, "/dev/ttyUSB0", start);
  std::ofstream(first) << "another command's line\n";
  CHandsetLog a, b;
  std::string error;
  ASSERT_TRUE(a.Create(dir, "/dev/ttyUSB0", start, error)) << error;
  ASSERT_TRUE(b.Create(dir, "/dev/ttyUSB0", start, error)) << error;
  EXPECT_EQ(a.Path(), dir + "/ttyUSB0-20261208-090507-2.log");
  EXPECT_EQ(b.Path(), dir + "/ttyUSB0-20261208-090507-3.log");
  a.Line("Downloading completed");
  EXPECT_EQ(ReadWholeFile(first), "another command's line\n");
  const std::string text = ReadWholeFile(a.Path());
  EXPECT_EQ(text.substr(23), " Downloading completed\n") << text;
  EXPECT_EQ(ReadWholeFile(b.Path()), "");
  EXPECT_EQ(HeldCloseOnExec(a.Path()), true) << "a handset's process started later must not hold it";
  b.Close();
  EXPECT_EQ(HeldCloseOnExec(b.Path()), std::nullopt);
}

// Links whose names would make a file name over 255 bytes: a shorter name with a digest, still
// one to one, still readable at its start, and a file that can be made (with its "-2" too).
TEST_F(HandsetLogTest, LongDeviceNamesStayWithinTheFileNameLimitAndApart) {
  std::string korean;
  for (int i = 0; i < 28; ++i) korean += "한";  // 84 bytes of UTF-8, 252 once escaped
  const std::string by = "/dev/serial/by-id/";
  const std::vector<std::string> devices = {
      by + korean,
      by + korean.substr(0, 81) + "a",
      by + std::string(230, 'a'),
      by + std::string(229, 'a') + "b",
      by + std::string(229, 'a') + "%",   // the cut may fall in an escape
      by + std::string(181, 'a') + "~b",  // "~" of its own is escaped: no clash with a shortened name
      by + std::string(187, 'a'),         // exactly at the bound: kept as it is
      by + std::string(188, 'a'),
      "/" + std::string(240, 'x') + "/" + std::string(240, 'y'),
  };
  const std::time_t start = At(9, 5, 7);
  std::set<std::string> names;
  for (const auto& d : devices) {
    SCOPED_TRACE(d);
    const std::string name = LogNameOfDevice(d);
    EXPECT_TRUE(names.insert(name).second) << name;
    EXPECT_LE(name.size(), 200u);
    EXPECT_EQ(name, LogNameOfDevice(d)) << "the same device, the same name";
    EXPECT_EQ(name.substr(0, 10), d.rfind("/dev/", 0) == 0 ? "serial+by-" : "+xxxxxxxxx");
    CHandsetLog a, b;
    std::string error;
    ASSERT_TRUE(a.Create(dir, d, start, error)) << error;
    ASSERT_TRUE(b.Create(dir, d, start, error)) << error;
    EXPECT_LE(fs::path(b.Path()).filename().string().size(), 255u);
  }
  EXPECT_EQ(LogNameOfDevice(devices[6]), "serial+by-id+" + std::string(187, 'a'));
  EXPECT_NE(LogNameOfDevice(devices[7]).find('~'), std::string::npos);
}

TEST_F(HandsetLogTest, AFolderIsMadeAndTriedBeforeItIsUsed) {
  std::ofstream(dir + "/file") << "x";
  const struct {
    std::string folder;
    bool ok;
  } cases[] = {
      {dir, true},
      {dir + "/new/deeper", true},
      {dir + "/file", false},
      {dir + "/file/logs", false},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(LogFolderWritable(c.folder, error), c.ok) << c.folder << ": " << error;
    EXPECT_EQ(error.empty(), c.ok) << c.folder;
  }
  EXPECT_TRUE(fs::is_directory(dir + "/new/deeper"));
  // The try leaves nothing behind.
  EXPECT_TRUE(fs::is_empty(dir + "/new/deeper"));
}

// Root writes anywhere: the ordinary-user pass of the tests runs this one.
TEST_F(HandsetLogTest, AReadOnlyFolderIsRefusedPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write in any folder";
  fs::create_directories(dir + "/ro");
  fs::permissions(dir + "/ro", fs::perms::owner_read | fs::perms::owner_exec);
  std::string error;
  EXPECT_FALSE(LogFolderWritable(dir + "/ro", error));
  EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
}

}  // namespace
