// Several handsets at once against tarvisel-sim over ptys: one tarvisel-cli for all of them (a
// station), and one tarvisel-cli each, started together. The flash each simulated handset keeps,
// the exit statuses, the summary and the --json stream read line by line.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

#include "EventSchema.h"
#include "SampleImage.h"
#include "Subprocess.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

// The handsets answer quickly where the engine does not wait on them anyway.
constexpr const char* kQuick = "erase-ms=200; dload-ms=200; reboot-ms=300";

class StationSimTest : public ::testing::Test {
 protected:
  struct Sim {
    std::string pty, flash;
    std::unique_ptr<CChild> child;
  };

  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-stations-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);  // the record of the window's downloads
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);  // the record of their downloads
    unsetenv("TARVISEL_COM1");
    unsetenv("TARVISEL_COM2");
  }
  void TearDown() override {
    StopSims();
    unsetenv("TARVISEL_SETTINGS");
  unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_DATA_HOME");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  Sim& StartSim(const std::string& name, const std::string& scenario) {
    Sim& s = sims[name];
    s.pty = dir + "/" + name + ".pty";
    s.flash = dir + "/" + name + ".flash";
    s.child = std::make_unique<CChild>(std::vector<std::string>{TARVISEL_SIM_PATH, "--scenario", scenario, "--link",
                                                                s.pty, "--save-flash", s.flash, "--flash-size", "1M"},
                                       dir, "sim-" + name);
    for (int i = 0; i < 500 && !fs::exists(s.pty); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(fs::exists(s.pty)) << s.child->Err();
    return s;
  }
  // The handsets save their flash as they end.
  void StopSims() {
    for (auto& [name, s] : sims)
      if (s.child) s.child->Signal(SIGTERM);
    for (auto& [name, s] : sims)
      if (s.child) s.child->Wait(20s);
  }
  std::string MakeImage(uint32_t size, uint32_t start) {
    image = sim::SampleImage(size, start, 203, 4242);
    const std::string path = dir + "/fw.bin";
    sim::WriteImage(path, image);
    return path;
  }
  bool FlashHoldsImageFrom(const std::string& name, uint32_t from) {
    const std::string flash = ReadWholeFile(sims[name].flash);
    return flash.size() >= image.size() &&
           std::equal(image.begin() + from, image.end(), flash.begin() + from,
                      [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  }
  static bool WaitForErr(const CChild& child, const std::string& text, std::chrono::seconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < until) {
      if (child.Err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  // The summary table's line of the device.
  static std::string SummaryLine(const std::string& err, const std::string& device) {
    const size_t table = err.rfind("\ndevice ");
    if (table == std::string::npos) return {};
    const size_t at = err.find("\n" + device + " ", table);
    if (at == std::string::npos) return {};
    return err.substr(at + 1, err.find('\n', at + 1) - at - 1);
  }
  static bool Before(const std::vector<std::string>& phases, const std::vector<std::string>& order) {
    size_t at = 0;
    for (const auto& p : phases)
      if (at < order.size() && p == order[at]) ++at;
    return at == order.size();
  }

  std::string dir;
  std::map<std::string, Sim> sims;
  std::vector<uint8_t> image;
};

TEST_F(StationSimTest, FourHandsetsFromOneCommandTheSilentOneFailsAlone) {
  const std::string q = kQuick;
  StartSim("a", "rev=203; sw=HANDSETA; " + q);
  StartSim("b", "silent=any:*");
  StartSim("c", "rev=204; sw=HANDSETC; pace=on; " + q);  // at the line rate; its version differs
  StartSim("d", "rev=203; sw=HANDSETD; adapter=16:62; " + q);  // behind a USB adapter's latency timer
  // The stable name a USB adapter has under /dev/serial/by-id, for the last one.
  const std::string byId = dir + "/serial/by-id/usb-Tarvisel_Sim_D_0001-if00-port0";
  fs::create_directories(dir + "/serial/by-id");
  fs::create_symlink(sims["d"].pty, byId);
  const std::string img = MakeImage(0x8000, 0x4000);
  const std::vector<std::string> devices = {sims["a"].pty, sims["b"].pty, sims["c"].pty, byId};

  std::vector<std::string> args = {TARVISEL_CLI_PATH, "download", img, "--speed", "115200", "--yes", "--json",
                                   "--timeout", "14", "--log-dir", dir + "/logs"};
  for (const auto& d : devices) args.insert(args.end(), {"--device", d});
  const ProcessResult r = RunProgram(args, dir, "station");
  EXPECT_EQ(r.status, 1) << r.err;

  const StreamCheck check = CheckEventStream(r.out, devices);
  EXPECT_TRUE(check.errors.empty()) << check.errors << r.out;
  const std::map<std::string, std::string> sw = {
      {devices[0], "Ver02.03    HANDSETA"}, {devices[2], "Ver02.04    HANDSETC"}, {devices[3], "Ver02.03    HANDSETD"}};
  for (const auto& [device, version] : sw) {
    ASSERT_TRUE(check.devices.count(device)) << device;
    const DeviceStream& d = check.devices.at(device);
    EXPECT_EQ(d.outcome, "completed") << device;
    EXPECT_EQ(d.sw, version) << device;
    EXPECT_TRUE(Before(d.phases, {"version", "download-mode", "erase", "programming", "jump"}))
        << device << ": " << ::testing::PrintToString(d.phases);
    EXPECT_EQ(d.blocks, 4) << device;
    EXPECT_EQ(d.lastBlock, 4) << device;
  }
  // The version question of the one that differs was answered by --yes.
  const auto& kinds = check.devices.at(devices[2]).logKinds;
  EXPECT_NE(std::find(kinds.begin(), kinds.end(), "message"), kinds.end());
  const DeviceStream& silent = check.devices.at(devices[1]);
  EXPECT_EQ(silent.outcome, "timeout");
  EXPECT_EQ(silent.exit, 1);
  EXPECT_EQ(silent.progressEvents, 0);

  // The summary: every handset, its result and version; the exit status the silent one's.
  for (const auto& [device, version] : sw) {
    const std::string line = SummaryLine(r.err, device);
    EXPECT_NE(line.find(" completed "), std::string::npos) << device << "\n" << r.err;
    EXPECT_NE(line.find(" " + version), std::string::npos) << device << "\n" << r.err;
  }
  EXPECT_NE(SummaryLine(r.err, devices[1]).find(" timeout (exit 1) "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("station: 3 of 4 handsets completed; exit 1 (that of " + devices[1] + ")"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "no terminal: plain lines";
  // A handset process ends as its result says (a sanitizer's report would change that).
  EXPECT_EQ(r.err.find("after its result"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(byId + ": programming 100% ("), std::string::npos) << r.err;

  // Each handset's log in a file of its own, named by its device.
  std::vector<std::string> logs;
  for (const auto& f : fs::directory_iterator(dir + "/logs")) logs.push_back(f.path().filename().string());
  ASSERT_EQ(logs.size(), 4u) << ::testing::PrintToString(logs);
  for (const auto& name : logs) {
    const std::string text = ReadWholeFile(dir + "/logs/" + name);
    EXPECT_NE(text.find(" result: download "), std::string::npos) << name << "\n" << text;
  }
  EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                          [](const std::string& n) { return n.find("+serial+by-id+usb-Tarvisel_Sim_D_0001-if00-port0-") != n.npos; }),
            1);

  StopSims();
  for (const char* name : {"a", "c", "d"}) EXPECT_TRUE(FlashHoldsImageFrom(name, 0x4000)) << name;
  EXPECT_FALSE(FlashHoldsImageFrom("b", 0x4000));
}

TEST_F(StationSimTest, FourSeparateCommandsAtOnceTheSilentOneFailsAlone) {
  const std::string q = kQuick;
  struct Run {
    std::string name, scenario, type, speed;
    int status;
    std::string outcome;
  };
  const std::vector<Run> runs = {
      {"e1", "start=download", "emergency", "115200", 0, "completed"},
      {"n2", "rev=203; sw=HANDSET2; " + q, "normal", "57600", 0, "completed"},
      {"c3", "rev=203; " + q, "change-normal", "115200", 0, "completed"},
      {"s4", "start=download; silent=any:*", "emergency", "57600", 1, "no-reply"},
  };
  for (const auto& run : runs) StartSim(run.name, run.scenario);
  const std::string img = MakeImage(0x8000, 0x4000);
  std::vector<std::unique_ptr<CChild>> clis;
  for (const auto& run : runs)
    clis.push_back(std::make_unique<CChild>(
        std::vector<std::string>{TARVISEL_CLI_PATH, "download", img, "--device", sims[run.name].pty, "--type", run.type,
                                 "--speed", run.speed, "--yes", "--json"},
        dir, "cli-" + run.name));
  for (size_t i = 0; i < runs.size(); ++i) {
    const Run& run = runs[i];
    EXPECT_EQ(clis[i]->Wait(90s), run.status) << run.name << "\n" << clis[i]->Err();
    StreamCheck check = CheckEventStream(clis[i]->Out(), {sims[run.name].pty});
    EXPECT_TRUE(check.errors.empty()) << run.name << "\n" << check.errors;
    const DeviceStream& d = check.devices[sims[run.name].pty];
    EXPECT_EQ(d.outcome, run.outcome) << run.name;
    if (run.status == 0) {
      EXPECT_EQ(d.lastBlock, d.blocks) << run.name;
    }
  }
  StopSims();
  EXPECT_TRUE(FlashHoldsImageFrom("e1", 0x4000));
  EXPECT_TRUE(FlashHoldsImageFrom("n2", 0x4000));
  EXPECT_TRUE(FlashHoldsImageFrom("c3", 0));  // the CHANGE types write the whole image
  EXPECT_FALSE(FlashHoldsImageFrom("s4", 0x4000));
}

TEST_F(StationSimTest, CtrlCOnceStopsEveryHandsetAndTwiceEndsThemAll) {
  StartSim("waiting", "start=download; silent=any:*");
  StartSim("erasing", "start=download; erase-ms=60000");
  const std::string img = MakeImage(0x8000, 0x4000);
  CChild station({TARVISEL_CLI_PATH, "download", img, "--type", "emergency", "--device", sims["waiting"].pty,
                  "--device", sims["erasing"].pty, "--yes", "--json"},
                 dir, "station");
  ASSERT_TRUE(WaitForErr(station, sims["erasing"].pty + ": phase erase", 30s)) << station.Err();
  station.Signal(SIGINT);
  // As the Stop button: the one that waits stops, the one that erases may not.
  ASSERT_TRUE(WaitForErr(station, sims["waiting"].pty + ": result stopped (exit 130)", 20s)) << station.Err();
  ASSERT_TRUE(WaitForErr(station, sims["erasing"].pty + ": can't stop downloading", 20s)) << station.Err();
  station.Signal(SIGINT);
  std::this_thread::sleep_for(100ms);
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(30s), 130) << station.Err();
  StreamCheck check = CheckEventStream(station.Out(), {sims["waiting"].pty, sims["erasing"].pty});
  EXPECT_TRUE(check.errors.empty()) << check.errors;
  EXPECT_EQ(check.devices[sims["waiting"].pty].outcome, "stopped");
  EXPECT_EQ(check.devices[sims["erasing"].pty].outcome, "interrupted");
}

// A reader that stops reading --json holds up no handset: the downloads end in the time they
// take with a reader that keeps up, the station then waits for the reader, and every event is
// there when it comes back.
TEST_F(StationSimTest, AReaderThatStopsReadingHoldsUpNoHandset) {
  std::vector<std::string> devices;
  for (const char* name : {"a", "b", "c"}) devices.push_back(StartSim(name, "start=download; erase-ms=100").pty);
  const std::string img = MakeImage(0x40000, 0x4000);  // 60 blocks each: many pages of progress events
  std::vector<std::string> args = {TARVISEL_CLI_PATH, "download", img, "--type", "emergency", "--speed", "115200",
                                   "--json", "--yes"};
  for (const auto& d : devices) args.insert(args.end(), {"--device", d});

  const auto began = std::chrono::steady_clock::now();
  const ProcessResult reference = RunProgram(args, dir, "reference");
  const auto usual = std::chrono::steady_clock::now() - began;
  ASSERT_EQ(reference.status, 0) << reference.err;

  // Handsets as new, on the same ports.
  StopSims();
  sims.clear();
  for (const char* name : {"a", "b", "c"}) StartSim(name, "start=download; erase-ms=100");
  CPipedChild station(args, dir + "/stalled.err");
  // A reader that held a handset up would hold it for good; a loaded machine may cost one a
  // resend and the wait for its late answer (seen once under ASan on a busy machine).
  const auto bound = std::chrono::duration_cast<std::chrono::seconds>(usual * 3) + 30s;
  ASSERT_TRUE(station.WaitForErr("station: 3 of 3 handsets completed; exit 0", bound)) << station.Err();
  EXPECT_TRUE(station.Running()) << "it waits for the reader to take the rest";
  const std::string text = station.ReadAll();
  EXPECT_EQ(station.Wait(20s), 0) << station.Err();
  const StreamCheck check = CheckEventStream(text, devices);
  EXPECT_TRUE(check.errors.empty()) << check.errors;
  for (const auto& d : devices) {
    ASSERT_TRUE(check.devices.count(d)) << d;
    EXPECT_EQ(check.devices.at(d).outcome, "completed") << d;
    EXPECT_EQ(check.devices.at(d).lastBlock, 60) << d;
  }
  StopSims();
  for (const char* name : {"a", "b", "c"}) EXPECT_TRUE(FlashHoldsImageFrom(name, 0x4000)) << name;
}

// Whatever the reader does, SIGTERM and Ctrl-C twice end the handsets mid-download, and once
// the handsets are done, Ctrl-C ends the station's wait for its reader.
TEST_F(StationSimTest, SignalsWorkWhileTheReaderDoesNotRead) {
  const std::string img = MakeImage(0x40000, 0x4000);
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    StopSims();
    sims.clear();
    // At the line's rate: programming takes long enough to be interrupted.
    const std::string a = StartSim("a", "start=download; erase-ms=100; pace=on").pty;
    const std::string b = StartSim("b", "start=download; erase-ms=100; pace=on").pty;
    CPipedChild station({TARVISEL_CLI_PATH, "download", img, "--type", "emergency", "--speed", "115200", "--json",
                           "--yes", "--device", a, "--device", b},
                          dir + "/signalled" + std::to_string(sig) + ".err");
    ASSERT_TRUE(station.WaitForErr(b + ": programming 10%", 60s)) << station.Err();
    station.Signal(sig);
    if (sig == SIGINT) {
      std::this_thread::sleep_for(100ms);
      station.Signal(SIGINT);
    }
    EXPECT_EQ(station.Wait(30s), 130) << station.Err();
  }
  StopSims();
  sims.clear();
  const std::string a = StartSim("a", "start=download; erase-ms=100").pty;
  CPipedChild station({TARVISEL_CLI_PATH, "download", MakeImage(0x20000, 0x4000), "--type", "emergency", "--json",
                         "--device", a, "--device", StartSim("b", "start=download; erase-ms=100").pty, "--yes"},
                        dir + "/done.err");
  ASSERT_TRUE(station.WaitForErr("station: 2 of 2 handsets completed; exit 0", 60s)) << station.Err();
  EXPECT_TRUE(station.Running());
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(10s), 0) << station.Err();
}

TEST_F(StationSimTest, APortThatCannotBeOpenedFailsThatHandsetAlone) {
  StartSim("e", "start=download");
  const std::string img = MakeImage(0x8000, 0x4000);
  const std::string missing = dir + "/serial/by-id/usb-Unplugged_Adapter-if00-port0";
  const std::vector<std::string> devices = {missing, sims["e"].pty};
  const ProcessResult r = RunProgram({TARVISEL_CLI_PATH, "download", img, "--type", "emergency", "--device", devices[0],
                                      "--device", devices[1], "--no", "--json"},
                                     dir, "station");
  EXPECT_EQ(r.status, 5) << r.err;
  StreamCheck check = CheckEventStream(r.out, devices);
  EXPECT_TRUE(check.errors.empty()) << check.errors << r.out;
  EXPECT_EQ(check.devices[missing].outcome, "port");
  EXPECT_TRUE(check.devices[missing].phases.empty());
  EXPECT_EQ(check.devices[sims["e"].pty].outcome, "completed");
  // Why, in the words the port's error has: here, that it does not exist.
  EXPECT_NE(r.err.find(missing + ": message: Can't open COM Port"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
}

TEST_F(StationSimTest, SeveralHandsetsNeedAnAnswerAndDistinctDevices) {
  StartSim("a", "rev=203");
  const std::string img = MakeImage(0x8000, 0x4000);
  fs::create_symlink(sims["a"].pty, dir + "/again");
  const struct {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"download", img, "--device", sims["a"].pty, "--device", dir + "/other"}, "--yes or --no"},
      {{"download", img, "--device", sims["a"].pty, "--device", dir + "/again", "--no"}, "are the same device"},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), TARVISEL_CLI_PATH);
    const ProcessResult r = RunProgram(args, dir, "usage" + std::to_string(n++));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}

}  // namespace
