// The station without handsets: what it makes of events, what it shows, the exit status it
// decides, and handset processes that crash, end without a result or say odd things (small
// shell scripts in their place).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "EventSchema.h"
#include "ExitStatus.h"
#include "RunSignals.h"
#include "HistoryDb.h"
#include "LogDir.h"
#include "Subprocess.h"
#include "Station.h"
#include "StationView.h"

namespace {

using ordered = nlohmann::ordered_json;

ordered Event(const std::string& device, const std::string& event, ordered fields = ordered::object()) {
  ordered e = {{"v", 1}, {"t", 0.5}, {"device", device}, {"event", event}};
  e.update(fields);
  return e;
}

ordered Progress(int block, int blocks) {
  return Event("A", "progress",
               {{"block", block}, {"blocks", blocks}, {"address", 0x10000 + block * 4096}, {"bytes", block * 4096},
                {"bytes_per_s", 11264}, {"eta_s", 2.5}});
}

ordered Finished(const std::string& device, const std::string& outcome, int exit, double secs = 65) {
  return Event(device, "finished", {{"outcome", outcome}, {"exit", exit}, {"elapsed_s", secs}});
}

TEST(StationStatus, EventsUpdateAHandsetAndOddOnesAreDropped) {
  HandsetStatus s;
  s.device = "A";
  const struct {
    ordered event;
    bool taken;
  } steps[] = {
      {Event("A", "started", {{"command", "download"}}), true},
      {Event("A", "phase", {{"name", "erase"}}), true},
      {Event("A", "phase"), false},  // no name
      {Event("A", "phone", {{"sw", "Ver02.03"}, {"compiled", ""}, {"pcb", ""}, {"revision", 203}}), true},
      {Progress(4, 16), true},
      {Event("A", "progress", {{"block", "four"}, {"blocks", 16}}), false},
      {Event("A", "log", {{"kind", "step"}, {"text", "x"}}), true},
      {Event("A", "sparkle"), false},
      {ordered::array({1, 2}), false},
      {Event("A", "finished", {{"outcome", "no-reply"}}), false},  // no exit
      {Finished("A", "no-reply", 1, 12.5), true},
      {Event("A", "phase", {{"name", "jump"}}), false},  // after the finish
      {Finished("A", "completed", 0), false},
  };
  for (const auto& step : steps) EXPECT_EQ(ApplyEvent(s, step.event), step.taken) << step.event;
  EXPECT_TRUE(s.started);
  EXPECT_EQ(s.phase, "erase");
  EXPECT_EQ(s.sw, "Ver02.03");
  ASSERT_TRUE(s.progress);
  EXPECT_EQ(s.progress->block, 4);
  EXPECT_EQ(s.progress->address, 0x14000u);
  EXPECT_EQ(s.rate.bytesPerS, 11264);
  EXPECT_EQ(s.outcome, "no-reply");
  EXPECT_EQ(s.exit, 1);
  EXPECT_EQ(s.elapsedS, 12.5);
}

TEST(StationStatus, TheExitStatusIsThatOfTheFirstHandsetThatFailedInTheOrderGiven) {
  auto with = [](std::vector<std::optional<int>> exits) {
    std::vector<HandsetStatus> all(exits.size());
    for (size_t i = 0; i < exits.size(); ++i) {
      all[i].device = "D" + std::to_string(i);
      if (exits[i]) ApplyEvent(all[i], Finished(all[i].device, *exits[i] ? "x" : "completed", *exits[i]));
    }
    return StationExitStatus(all);
  };
  EXPECT_EQ(with({0, 0, 0, 0}), 0);
  EXPECT_EQ(with({0, 5, 1, 0}), 5);
  EXPECT_EQ(with({0, 0, 130, 1}), 130);
  EXPECT_EQ(with({139, 0, 1}), 139);
  EXPECT_EQ(with({0, std::nullopt, 3}), kExitNoReply) << "a handset without a result did not complete";
}

std::vector<HandsetStatus> TwoHandsets() {
  std::vector<HandsetStatus> h(2);
  h[0].device = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  h[1].device = "/dev/ttyUSB1";
  return h;
}

TEST(StationView, PlainLinesAtEveryTenPercentOfEachHandsetAndTheirResults) {
  std::ostringstream out;
  CStationView view(out, {false, false}, 2);
  std::vector<HandsetStatus> h = TwoHandsets();
  h[0].device = "A";
  auto feed = [&](size_t i, const ordered& e) {
    ASSERT_TRUE(ApplyEvent(h[i], e));
    view.Changed(i, h[i], e["event"].get<std::string>());
  };
  feed(0, Event("A", "phase", {{"name", "programming"}}));
  for (int b = 0; b <= 20; ++b) feed(0, Progress(b, 20));
  feed(1, Event("B", "phase", {{"name", "erase"}}));
  // A new erase starts programming over: its steps come again.
  feed(0, Event("A", "phase", {{"name", "erase"}}));
  feed(0, Event("A", "phase", {{"name", "programming"}}));
  feed(0, Progress(0, 20));
  feed(0, Progress(2, 20));
  feed(0, Finished("A", "completed", 0, 65));
  feed(1, Finished("B", "no-reply", 1, 9));
  view.Summary(h);
  const std::string text = out.str();
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  for (int p = 10; p <= 100; p += 10)
    EXPECT_NE(text.find("A: programming " + std::to_string(p) + "% (0x"), std::string::npos) << p << "\n" << text;
  size_t tens = 0;
  for (size_t at = 0; (at = text.find("A: programming 10% ", at)) != std::string::npos; ++at) ++tens;
  EXPECT_EQ(tens, 2u) << text;
  EXPECT_NE(text.find("A: programming 50% (0x1a000, 11.0 KiB/s, 0:03 left)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("A: result completed after 1:05\n"), std::string::npos) << text;
  EXPECT_NE(text.find("/dev/ttyUSB1: result no-reply (exit 1) after 0:09\n"), std::string::npos) << text;
  EXPECT_NE(text.find("/dev/ttyUSB1: phase erase\n"), std::string::npos) << text;
  EXPECT_LT(text.find("A: result"), text.find("\ndevice "));
}

TEST(StationView, QuietKeepsResultsAndRedLines) {
  std::ostringstream out;
  CStationView view(out, {false, true}, 1);
  HandsetStatus s;
  s.device = "A";
  ApplyEvent(s, Event("A", "phase", {{"name", "programming"}}));
  view.Changed(0, s, "phase");
  ApplyEvent(s, Progress(5, 10));
  view.Changed(0, s, "progress");
  view.HandsetLine(s, "응답이 없습니다.", true);
  ApplyEvent(s, Finished("A", "no-reply", 1, 3));
  view.Changed(0, s, "finished");
  EXPECT_EQ(out.str(), "A: 응답이 없습니다.\nA: result no-reply (exit 1) after 0:03\n");
}

TEST(StationView, OnATerminalOneLineEachInPlaceCutToTheWidth) {
  std::ostringstream out;
  const size_t columns = 72;
  CStationView view(out, {true, false}, 2, columns);
  std::vector<HandsetStatus> h = TwoHandsets();
  view.Draw(h);
  ApplyEvent(h[0], Event("A", "phase", {{"name", "programming"}}));
  ApplyEvent(h[0], Progress(8, 16));
  ApplyEvent(h[1], Event("B", "phase", {{"name", "download-mode"}}));
  view.Changed(0, h[0], "progress");
  view.Draw(h);
  view.HandsetLine(h[1], "응답이 없습니다.", true);
  view.Draw(h);  // nothing changed: nothing drawn
  const std::string before = out.str();
  view.Draw(h);
  EXPECT_EQ(out.str(), before);

  const std::string text = out.str();
  // The second drawing goes back up over the two lines of the first.
  EXPECT_NE(text.find("\x1b[2A\r\x1b[K"), std::string::npos) << text;
  // A red line goes above the block, which is drawn again below it.
  const size_t red = text.find("\x1b[2A\r\x1b[J\x1b[31m/dev/ttyUSB1: 응답이 없습니다.\x1b[0m\n");
  ASSERT_NE(red, std::string::npos) << text;
  EXPECT_NE(text.find("/dev/ttyUSB1                  download-mode\n", red), std::string::npos) << text;

  // Labels keep the end of a long name (the adapter's serial number and port).
  CStationView wide(out, {true, false}, 2, 200);
  EXPECT_EQ(wide.StatusLine(h[0], 28),
            "…SB_UART_A50285BI-if00-port0  programming   [##########----------]  50% 0x18000, 11.0 KiB/s, 0:03 left");
  const std::string line = view.StatusLine(h[0], 28);
  size_t width = 0;
  for (char c : line) width += (c & 0xC0) != 0x80;
  EXPECT_EQ(width, columns - 1) << "a line that wraps breaks the block: " << line;
}

TEST(StationView, TheSummaryNamesEachHandsetsResultTimeAndVersion) {
  std::ostringstream out;
  CStationView view(out, {false, false}, 3);
  std::vector<HandsetStatus> h = TwoHandsets();
  h.emplace_back();
  h[2].device = "/dev/ttyUSB2";
  ApplyEvent(h[0], Event("A", "phone", {{"sw", "Ver02.03    ABCDEFGH"}}));
  ApplyEvent(h[0], Finished("A", "completed", 0, 125));
  ApplyEvent(h[1], Finished("B", "crashed", 139, 3.4));
  ApplyEvent(h[2], Finished("C", "port", 5, 0));
  view.Summary(h);
  const std::string text = out.str();
  const std::string pad(h[0].device.size() - h[1].device.size(), ' ');
  EXPECT_NE(text.find(h[0].device + "  completed           2:05    Ver02.03    ABCDEFGH\n"), std::string::npos) << text;
  EXPECT_NE(text.find("/dev/ttyUSB1" + pad + "  crashed (exit 139)  0:03    -\n"), std::string::npos) << text;
  EXPECT_NE(text.find("station: 1 of 3 handsets completed; exit 139 (that of /dev/ttyUSB1)\n"), std::string::npos)
      << text;
}

// --- handset processes that misbehave ----------------------------------------------------------

class StationProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-station-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  // Each device names a shell script that stands in for the handset's process, or with
  // "program:" a program to run in its place.
  int Run(const std::map<std::string, std::string>& scripts, std::vector<std::string> order) {
    CliOptions options;
    options.command = CliCommand::Download;
    options.image = "fw.bin";
    options.answer = CliAnswer::Yes;
    options.json = true;
    options.logDir = logDir.empty() ? dir + "/logs" : logDir;
    options.historyFile = dir + "/history.sqlite";
    StationSetup setup;
    setup.command = [&](const std::string& device) {
      const std::string& script = scripts.at(device);
      if (script.rfind("program:", 0) == 0) return std::vector<std::string>{script.substr(8)};
      return std::vector<std::string>{"/bin/sh", "-c", script};
    };
    std::istringstream in;
    ConsoleStreams console{out, err, in, false, false};
    return RunStation(options, order, console, setup);
  }
  static std::string Line(const std::string& device, const std::string& event, const std::string& fields) {
    return "printf '%s\\n' '{\"v\":1,\"t\":0.1,\"device\":\"" + device + "\",\"event\":\"" + event + "\"" + fields +
           "}'; ";
  }
  static std::string Started(const std::string& d) {
    return Line(d, "started", R"(,"command":"download","type":"normal","image":"fw.bin","speed":115200)");
  }
  static std::string Done(const std::string& d, const std::string& outcome, int exit) {
    return Line(d, "finished", ",\"outcome\":\"" + outcome + "\",\"exit\":" + std::to_string(exit) + ",\"elapsed_s\":0.2");
  }
  // The log of each device, by the device.
  std::map<std::string, std::string> Logs(const std::vector<std::string>& devices) {
    std::map<std::string, std::string> logs;
    for (const auto& f : std::filesystem::directory_iterator(dir + "/logs")) {
      const std::string name = f.path().filename().string();
      for (const auto& d : devices)
        if (name.rfind(LogNameOfDevice(d) + "-2", 0) == 0) logs[d] = ReadWholeFile(f.path().string());
    }
    return logs;
  }
  std::vector<DownloadRecord> Rows() {
    std::string error;
    const auto db = CHistoryDb::Open(dir + "/history.sqlite", CHistoryDb::Access::Read, error);
    return db ? db->Rows({}, error).value_or(std::vector<DownloadRecord>{}) : std::vector<DownloadRecord>{};
  }
  std::string dir, logDir;
  std::ostringstream out, err;
};

TEST_F(StationProcessTest, ACrashOrAnEndWithoutAResultIsThatHandsetsFailureAlone) {
  const std::map<std::string, std::string> scripts = {
      {"ok", Started("ok") + Line("ok", "phase", R"(,"name":"erase")") + Done("ok", "completed", 0)},
      {"segv", Started("segv") + Line("segv", "phase", R"(,"name":"programming")") +
                   "echo 'the last words' >&2; kill -SEGV $$"},
      {"exit3", "echo 'usage: something' >&2; exit 3"},
      {"noisy", "echo 'not json'; " + Started("noisy") + Done("noisy", "no-reply", 1) +
                    Line("noisy", "phase", R"(,"name":"jump")")},
      {"late", Started("late") + Done("late", "completed", 0) + "kill -ABRT $$"},
      {"unended", Started("unended") + "printf '%s' '{\"v\":1,\"t\":0.3,\"device\":\"unended\",\"event\":\"finished\","
                                        "\"outcome\":\"completed\",\"exit\":0,\"elapsed_s\":0.3}'"},
  };
  const std::vector<std::string> order = {"ok", "segv", "exit3", "noisy", "late", "unended"};
  const int status = Run(scripts, order);
  EXPECT_EQ(status, 128 + SIGSEGV) << "the first handset in the order given that failed\n" << err.str();

  const StreamCheck check = CheckEventStream(out.str(), order);
  EXPECT_TRUE(check.errors.empty()) << check.errors << out.str();
  const struct {
    std::string device, outcome;
    int exit;
  } want[] = {{"ok", "completed", 0},     {"segv", "crashed", 139},  {"exit3", "crashed", 3},
              {"noisy", "no-reply", 1},   {"late", "completed", 0},  {"unended", "completed", 0}};
  for (const auto& w : want) {
    ASSERT_TRUE(check.devices.count(w.device)) << w.device;
    EXPECT_EQ(check.devices.at(w.device).outcome, w.outcome) << w.device;
    EXPECT_EQ(check.devices.at(w.device).exit, w.exit) << w.device;
  }
  EXPECT_EQ(check.devices.at("segv").signal, SIGSEGV);
  // The crashed one's own events came before its finish.
  EXPECT_EQ(check.devices.at("segv").phases, std::vector<std::string>{"programming"});

  const std::string e = err.str();
  EXPECT_NE(e.find("segv: the handset's process ended by signal 11"), std::string::npos) << e;
  EXPECT_NE(e.find("segv:   the last words"), std::string::npos) << e;
  EXPECT_NE(e.find("exit3: the handset's process ended with status 3 without a result"), std::string::npos) << e;
  EXPECT_NE(e.find("late: its process ended by signal 6"), std::string::npos) << e;
  EXPECT_NE(e.find("station: 3 of 6 handsets completed; exit 139 (that of segv)"), std::string::npos) << e;

  // Each handset's log file has what was said of it, time-stamped.
  std::map<std::string, std::string> logs = Logs(order);
  ASSERT_EQ(logs.size(), order.size());
  EXPECT_NE(logs["segv"].find("the handset's process ended by signal 11"), std::string::npos) << logs["segv"];
  EXPECT_NE(logs["exit3"].find("  usage: something"), std::string::npos) << logs["exit3"];
  EXPECT_NE(logs["noisy"].find("not an event of the handset's process: not json"), std::string::npos);

  // The processes that ended without a result could not write their rows: the station did.
  std::map<std::string, std::pair<std::string, int>> rows;
  for (const auto& r : Rows()) rows[r.device] = {r.outcome, static_cast<int>(r.exit.value_or(-1))};
  EXPECT_EQ(rows, (std::map<std::string, std::pair<std::string, int>>{{"segv", {"crashed", 139}}, {"exit3", {"crashed", 3}}}));
}

// Names an earlier scheme folded into one file; a later handset's process once held the logs
// of those started before it.
TEST_F(StationProcessTest, EachHandsetHasALogOfItsOwnThatNoOtherProcessHolds) {
  auto says = [](const std::string& d, const std::string& text) {
    return Line(d, "log", R"(,"kind":"message","text":")" + text + "\"");
  };
  const std::string fds = dir + "/fds-third";
  const std::map<std::string, std::string> scripts = {
      {"st/h1", Started("st/h1") + says("st/h1", "first") + "sleep 0.3; " + Done("st/h1", "completed", 0)},
      {"st_h1", Started("st_h1") + says("st_h1", "second") + "sleep 0.3; " + Done("st_h1", "completed", 0)},
      {"third", "ls -l /proc/$$/fd > " + fds + "; " + Started("third") + Done("third", "completed", 0)},
  };
  const std::vector<std::string> order = {"st/h1", "st_h1", "third"};
  ASSERT_EQ(Run(scripts, order), 0) << err.str();
  const auto logs = Logs(order);
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_NE(logs.at("st/h1").find("message: first"), std::string::npos) << logs.at("st/h1");
  EXPECT_EQ(logs.at("st/h1").find("second"), std::string::npos) << logs.at("st/h1");
  EXPECT_NE(logs.at("st_h1").find("message: second"), std::string::npos) << logs.at("st_h1");
  EXPECT_EQ(logs.at("st_h1").find("first"), std::string::npos) << logs.at("st_h1");
  const std::string held = ReadWholeFile(fds);
  ASSERT_NE(held.find("/dev/null"), std::string::npos) << "the third handset's process listed its files";
  EXPECT_EQ(held.find(dir + "/logs"), std::string::npos) << held;
}

// Before, one handset alone refused such a folder and a station flashed every handset without
// logs and exited 0.
TEST_F(StationProcessTest, ALogFolderThatCannotBeWrittenIsAUsageErrorAndNothingIsStarted) {
  std::ofstream(dir + "/file") << "x";
  logDir = dir + "/file/logs";
  const std::string ran = dir + "/ran";
  const std::map<std::string, std::string> scripts = {{"a", "touch " + ran + "; " + Started("a") + Done("a", "completed", 0)},
                                                      {"b", "touch " + ran + "; " + Started("b") + Done("b", "completed", 0)}};
  EXPECT_EQ(Run(scripts, {"a", "b"}), 2) << err.str();
  EXPECT_NE(err.str().find(logDir), std::string::npos) << err.str();
  EXPECT_FALSE(std::filesystem::exists(ran)) << "no handset's process was started";
  const StreamCheck check = CheckEventStream(out.str(), {"a", "b"});
  EXPECT_TRUE(check.errors.empty()) << check.errors << out.str();
  for (const char* d : {"a", "b"}) EXPECT_EQ(check.devices.at(d).outcome, "usage") << d;
  EXPECT_TRUE(Rows().empty()) << "nothing was tried";
}

TEST_F(StationProcessTest, AProgramThatCannotBeStartedIsAFailureToo) {
  std::map<std::string, std::string> scripts = {{"a", Started("a") + Done("a", "completed", 0)}, {"b", "program:/nonexistent/tarvisel-cli"}};
  const int status = Run(scripts, {"a", "b"});
  EXPECT_EQ(status, 127) << err.str();
  const StreamCheck check = CheckEventStream(out.str(), {"a", "b"});
  EXPECT_TRUE(check.errors.empty()) << check.errors << out.str();
  EXPECT_EQ(check.devices.at("b").outcome, "crashed");
}

TEST(StationDevices, TwoNamesOfOneDeviceAreFound) {
  char tmpl[] = "/tmp/tarvisel-same-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  std::ofstream(dir + "/ttyUSB0") << "";
  std::ofstream(dir + "/ttyUSB1") << "";
  std::filesystem::create_directories(dir + "/serial/by-id");
  std::filesystem::create_symlink("../../ttyUSB1", dir + "/serial/by-id/usb-X-port0");
  const auto same = SameDeviceTwice({dir + "/ttyUSB0", dir + "/ttyUSB1", dir + "/serial/by-id/usb-X-port0"});
  ASSERT_TRUE(same);
  EXPECT_EQ(same->first, dir + "/ttyUSB1");
  EXPECT_EQ(same->second, dir + "/serial/by-id/usb-X-port0");
  EXPECT_FALSE(SameDeviceTwice({dir + "/ttyUSB0", dir + "/ttyUSB1", dir + "/missing", dir + "/missing2"}));
  std::filesystem::remove_all(dir);
}

// Once a run has decided its exit status, a Ctrl-C or SIGTERM while the process winds down
// (a loaded machine may take a while) neither ends it by the signal's default nor is lost in a
// way that changes the status: it stays pending and dies with the process.
TEST(RunSignalsTest, PressesAfterTheRunDoNotEndTheProcess) {
  {
    CRunSignals signals;
    ASSERT_GE(signals.Fd(), 0);
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_EQ(signals.Next(), SIGINT);
  }
  ASSERT_EQ(raise(SIGINT), 0);
  ASSERT_EQ(raise(SIGTERM), 0);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_TRUE(sigismember(&pending, SIGINT));
  EXPECT_TRUE(sigismember(&pending, SIGTERM));
  // Taken here so that the test's process goes on as it was.
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGINT);
  sigaddset(&both, SIGTERM);
  const timespec zero{};
  while (sigtimedwait(&both, nullptr, &zero) > 0) {
  }
  pthread_sigmask(SIG_UNBLOCK, &both, nullptr);
}

}  // namespace
