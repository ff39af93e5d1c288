// The folder of port links as it changes: links that come and go, the folder itself made,
// removed and made again, a link replaced under the same name, and what is no port.
#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <fstream>

#include "PortFolder.h"

namespace fs = std::filesystem;

namespace {

using Kind = PortChange::Kind;

class PortFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-ports-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    dir = root + "/serial/by-id";
    std::ofstream(root + "/tty1") << "";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  // The changes once inotify has told of them (each step below makes at least one).
  std::vector<PortChange> Changes(CPortFolder& folder) {
    pollfd p{folder.Fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 2000), 1) << "inotify told nothing";
    return folder.TakeChanges();
  }
  void Link(const std::string& name) { fs::create_symlink(root + "/tty1", dir + "/" + name); }
  PortChange In(const std::string& name) { return {Kind::Appeared, dir + "/" + name}; }
  PortChange Out(const std::string& name) { return {Kind::Gone, dir + "/" + name}; }

  std::string root, dir;
};

TEST_F(PortFolderTest, LinksPresentAtTheStartThenEachThatComesAndGoes) {
  fs::create_directories(dir);
  Link("usb-B");
  Link("usb-A");
  std::ofstream(dir + "/.hidden") << "";
  std::ofstream(dir + "/notes.txt") << "";  // a plain file is no port
  CPortFolder folder(dir + "/");
  std::string error;
  ASSERT_TRUE(folder.Start(error)) << error;
  EXPECT_EQ(folder.TakeChanges(), (std::vector<PortChange>{In("usb-A"), In("usb-B")}));
  EXPECT_TRUE(folder.TakeChanges().empty());

  const struct {
    std::function<void()> step;
    std::vector<PortChange> changes;
  } steps[] = {
      {[&] { Link("usb-C"); }, {In("usb-C")}},
      {[&] { fs::remove(dir + "/usb-A"); }, {Out("usb-A")}},
      {[&] { std::ofstream(dir + "/other.txt") << ""; }, {}},
      // Replaced in one step (a rename over it): the old handset is gone, a new one came.
      {[&] {
         fs::create_symlink(root + "/tty1", dir + "/.tmp");
         fs::rename(dir + "/.tmp", dir + "/usb-B");
       },
       {Out("usb-B"), In("usb-B")}},
      {[&] { fs::rename(dir + "/usb-C", root + "/away"); }, {Out("usb-C")}},
      {[&] { fs::rename(root + "/away", dir + "/usb-C2"); }, {In("usb-C2")}},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    steps[i].step();
    EXPECT_EQ(Changes(folder), steps[i].changes) << "step " << i;
  }
  EXPECT_EQ(folder.Present(), (std::set<std::string>{"usb-B", "usb-C2"}));
}

// udev makes /dev/serial/by-id with the first link and removes it with the last.
TEST_F(PortFolderTest, AFolderThatComesAndGoesIsWaitedFor) {
  CPortFolder folder(dir);
  std::string error;
  ASSERT_TRUE(folder.Start(error)) << error;
  EXPECT_TRUE(folder.TakeChanges().empty());
  fs::create_directories(root + "/serial");
  EXPECT_TRUE(Changes(folder).empty());
  fs::create_directories(dir);
  Link("usb-A");
  // The folder's watch may come before or after the link: either way the link appears once.
  std::vector<PortChange> got = Changes(folder);
  for (int i = 0; i < 20 && got.empty(); ++i) {
    pollfd p{folder.Fd(), POLLIN, 0};
    poll(&p, 1, 100);
    auto more = folder.TakeChanges();
    got.insert(got.end(), more.begin(), more.end());
  }
  EXPECT_EQ(got, std::vector<PortChange>{In("usb-A")});
  fs::remove_all(root + "/serial");
  got = Changes(folder);
  EXPECT_EQ(got, std::vector<PortChange>{Out("usb-A")});
  fs::create_directories(dir);
  fs::create_symlink(root + "/tty1", dir + "/usb-A");
  got.clear();
  for (int i = 0; i < 20 && got.empty(); ++i) {
    pollfd p{folder.Fd(), POLLIN, 0};
    poll(&p, 1, 100);
    auto more = folder.TakeChanges();
    got.insert(got.end(), more.begin(), more.end());
  }
  EXPECT_EQ(got, std::vector<PortChange>{In("usb-A")}) << "the link that came back is a new handset";
}

}  // namespace
