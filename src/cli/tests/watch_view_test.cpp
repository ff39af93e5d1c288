// What a watch shows of its ports, and which links --match takes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Watch.h"
#include "WatchView.h"

namespace {

HandsetStatus Download(const std::string& link, const std::string& outcome = "", int exit = 0) {
  HandsetStatus s;
  s.device = link;
  s.started = true;
  s.phase = "erase";
  if (!outcome.empty()) {
    s.outcome = outcome;
    s.exit = exit;
    s.elapsedS = 9;
  }
  return s;
}

TEST(WatchView, EachPortsLineSaysWhereItsHandsetIs) {
  std::ostringstream out;
  CWatchView view(out, {true, false}, 100);
  const HandsetStatus running = Download("/by-id/usb-A");
  const HandsetStatus done = Download("/by-id/usb-B", "completed");
  const HandsetStatus failed = Download("/by-id/usb-C", "no-reply", 1);
  const struct {
    PortShown port;
    std::string text;
  } cases[] = {
      {{"/by-id/usb-A", &running, "", false}, "/by-id/usb-A  erase"},
      {{"/by-id/usb-A", &running, "unplugged", false}, "/by-id/usb-A  erase; unplugged"},
      {{"/by-id/usb-B", &done, "", false}, "/by-id/usb-B  completed after 0:09"},
      {{"/by-id/usb-C", &failed, "tried again in a moment (try 2)", true},
       "/by-id/usb-C  no-reply (exit 1) after 0:09; tried again in a moment (try 2)"},
      {{"/by-id/usb-D", nullptr, "waiting", false}, "/by-id/usb-D  waiting"},
      {{"/by-id/usb-E", nullptr, "not matched (USB 0403:6015)", false}, "/by-id/usb-E  not matched (USB 0403:6015)"},
  };
  for (const auto& c : cases) EXPECT_EQ(view.PortText(c.port, 12), c.text);

  std::vector<PortShown> ports;
  for (const auto& c : cases) ports.push_back(c.port);
  view.Draw(ports, {1, 1, 2}, "");
  const std::string text = out.str();
  // Green for a handset done, red for one that failed for good, none while it is tried again.
  EXPECT_NE(text.find("\x1b[32m/by-id/usb-B  completed after 0:09\x1b[0m\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\x1b[K/by-id/usb-C  no-reply"), std::string::npos) << text;
  EXPECT_NE(text.find("completed 1, failed 1, in progress 2\n"), std::string::npos) << text;
  // Drawn again in place: up over the block first.
  view.Handsets().MarkChanged();
  ports.pop_back();
  view.Draw(ports, {1, 1, 2}, "no new downloads");
  EXPECT_NE(out.str().find("\x1b[7A\r\x1b[J"), std::string::npos) << "a shorter block clears what was below";
  EXPECT_NE(out.str().find("in progress 2; no new downloads\n"), std::string::npos);

  // NO_COLOR: the same block in place, without its colours.
  std::ostringstream plain;
  CWatchView noColour(plain, {true, false, false}, 100);
  noColour.Draw(ports, {1, 1, 2}, "");
  noColour.PortLine("/by-id/usb-C", "a red line", true);
  EXPECT_NE(plain.str().find("\r\x1b[K/by-id/usb-B  completed after 0:09\n"), std::string::npos) << plain.str();
  EXPECT_EQ(plain.str().find("\x1b[3"), std::string::npos) << plain.str();
}

TEST(WatchView, WithoutATerminalPlainLinesAndTheCountAfterEachEnd) {
  std::ostringstream out;
  CWatchView view(out, {false, false});
  view.PortLine("/by-id/usb-A", "plugged in");
  HandsetStatus s = Download("/by-id/usb-A", "completed");
  view.Handsets().Changed(3, s, "finished");  // a port that came later than the first three
  view.Counts({1, 0, 0});
  view.Draw({}, {1, 0, 0}, "");  // nothing on a plain stream
  EXPECT_EQ(out.str(),
            "/by-id/usb-A: plugged in\n/by-id/usb-A: result completed after 0:09\nwatch: completed 1, failed 0, in "
            "progress 0\n");
}

class TableFacts final : public CDeviceFacts {
 public:
  std::map<std::string, UsbAdapter> adapters;
  std::optional<UsbAdapter> Adapter(const std::string& tty) override {
    const auto it = adapters.find(tty);
    return it == adapters.end() ? std::nullopt : std::optional<UsbAdapter>(it->second);
  }
};

TEST(WatchMatch, TheAdaptersUsbIdsDecide) {
  char tmpl[] = "/tmp/tarvisel-match-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyACM0"}) std::ofstream(dir + "/" + tty) << "";
  for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyACM0"})
    std::filesystem::create_symlink(dir + "/" + tty, dir + "/link-" + tty);
  TableFacts facts;
  facts.adapters[dir + "/ttyUSB0"] = UsbAdapter{"0403", "6001", "", "", "", "", ""};
  facts.adapters[dir + "/ttyUSB1"] = UsbAdapter{"0403", "6015", "", "", "", "", ""};
  const std::vector<UsbId> ftdi = {{"0403", "6001"}, {"1a86", "7523"}};
  const struct {
    std::string link;
    std::vector<UsbId> matches;
    CDeviceFacts* facts;
    bool taken;
    std::string why;
  } cases[] = {
      {"link-ttyUSB0", ftdi, &facts, true, ""},
      {"link-ttyUSB1", ftdi, &facts, false, "USB 0403:6015"},
      {"link-ttyACM0", ftdi, &facts, false, "no USB ids known for it"},
      {"link-ttyACM0", {}, &facts, true, ""},
      {"link-ttyUSB0", ftdi, nullptr, false, "no USB ids known for it"},
      {"gone", ftdi, &facts, false, "no USB ids known for it"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(MatchesPort(dir + "/" + c.link, c.matches, c.facts, why), c.taken) << c.link;
    EXPECT_EQ(why, c.why) << c.link;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
