// tarvisel-cli against tarvisel-sim over a pty, both as built: exit statuses, what the log
// says, the wire trace and the flash the download leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "EventSchema.h"
#include "SampleImage.h"
#include "Subprocess.h"

namespace {

using namespace std::chrono_literals;

class CliSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-cli-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    // The children inherit these: private settings, no port mapping from the caller.
    setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);  // the record of the window's downloads
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);  // the record of their downloads
    unsetenv("TARVISEL_COM1");
    unsetenv("TARVISEL_COM2");
  }
  void TearDown() override {
    StopSim();
    sim.reset();
    unsetenv("TARVISEL_SETTINGS");
  unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_DATA_HOME");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  void StartSim(const std::string& scenario, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{TARVISEL_SIM_PATH, "--scenario", scenario, "--link", Pty(), "--save-flash",
                                  dir + "/flash.bin", "--flash-size", "1M"};
    args.insert(args.end(), more.begin(), more.end());
    sim = std::make_unique<CChild>(args, dir, "sim");
    ASSERT_TRUE(sim->Started());
    for (int i = 0; i < 500 && !std::filesystem::exists(Pty()); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(Pty())) << sim->Err();
  }
  void StopSim() {
    if (!sim) return;
    sim->Signal(SIGTERM);
    sim->Wait(20s);
  }
  std::string Pty() const { return dir + "/pty"; }
  // A picture of the flash with the trailer: version and start address in its last bytes.
  std::string MakeImage(uint32_t size, uint32_t start, uint32_t version = 203, const std::string& name = "image.bin") {
    image = sim::SampleImage(size, start, version, 777);
    const std::string path = dir + "/" + name;
    sim::WriteImage(path, image);
    return path;
  }
  ProcessResult Cli(std::vector<std::string> args, const std::string& tag = "cli") {
    args.insert(args.begin(), TARVISEL_CLI_PATH);
    return RunProgram(args, dir, tag);
  }
  static size_t Find(const std::string& text, const std::string& what) { return text.find(what); }

  std::string dir;
  std::unique_ptr<CChild> sim;
  std::vector<uint8_t> image;
};

TEST_F(CliSimTest, NormalDownloadCompletesWithTheLogTheTraceAndTheFlash) {
  StartSim("rev=203; erase-ms=200");
  const std::string img = MakeImage(0x10000, 0x4000);
  const ProcessResult r = Cli({"download", img, "--device", Pty(), "--speed", "115200", "--trace-wire",
                               dir + "/trace.txt", "--log", dir + "/log.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The window's lines in the window's order, then the result.
  const size_t version = Find(r.err, "단말기 버젼 확인중");
  const size_t programming = Find(r.err, "Flash programming 시작");
  const size_t completed = Find(r.err, "message: Downloading completed");
  ASSERT_NE(version, std::string::npos) << r.err;
  ASSERT_NE(programming, std::string::npos) << r.err;
  ASSERT_NE(completed, std::string::npos) << r.err;
  EXPECT_LT(version, programming);
  EXPECT_LT(programming, completed);
  EXPECT_NE(Find(r.err, "programming 100%"), std::string::npos);
  EXPECT_NE(Find(r.err, "Elapsed time : "), std::string::npos);
  // Not a terminal: no control sequences.
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.err.find('\r'), std::string::npos);

  std::ifstream trace(dir + "/trace.txt");
  std::string line, firstTx;
  while (std::getline(trace, line))
    if (line.find(" TX ") != std::string::npos) {
      firstTx = line;
      break;
    }
  EXPECT_NE(firstTx.find("TX 7F 00 78 F0 7E"), std::string::npos) << firstTx;

  const std::string log = ReadWholeFile(dir + "/log.txt");
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} message: Downloading completed)")))
      << log;

  StopSim();
  const std::string flash = ReadWholeFile(dir + "/flash.bin");
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin() + 0x4000, image.end(), flash.begin() + 0x4000,
                         [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
}

TEST_F(CliSimTest, InfoPrintsTheHandsetsVersion) {
  StartSim("rev=1234; sw=SWTEXT");
  const ProcessResult r = Cli({"info", "--device", Pty()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Ver12.34"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("SWTEXT"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("단말기 정보를 읽어옵니다."), std::string::npos) << r.err;
}

// Without --device the stored port's device is named before anything is sent; the stream of
// --json holds to its schema and gives the phone's texts without the handset's padding.
TEST_F(CliSimTest, WithoutADeviceTheStoredPortIsNamedAndTheJsonStreamHoldsToItsSchema) {
  StartSim("");
  setenv("TARVISEL_COM1", Pty().c_str(), 1);
  const ProcessResult r = Cli({"info", "--json"});
  unsetenv("TARVISEL_COM1");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string target = std::filesystem::canonical(Pty()).string();
  const std::string note = "port COM1 (the stored PORT) is " + Pty() + " -> " + target;
  EXPECT_NE(r.err.find(note + "\n"), std::string::npos) << r.err;
  const StreamCheck check = CheckEventStream(r.out, {Pty()});
  EXPECT_EQ(check.errors, "") << r.out;
  // The handset pads "KVH100K" and "REV 0.3" to 8 letters each.
  EXPECT_EQ(check.devices.at(Pty()).sw, "Ver02.03    KVH100K") << r.out;
  const size_t phone = r.out.find("\"event\":\"phone\"");
  ASSERT_NE(phone, std::string::npos) << r.out;
  const std::string phoneLine = r.out.substr(phone, r.out.find('\n', phone) - phone);
  EXPECT_EQ(phoneLine.find(" \""), std::string::npos) << "a text with trailing blanks: " << phoneLine;
  EXPECT_NE(phoneLine.find("REV 0.3\""), std::string::npos) << phoneLine;
  // Before the first request goes out.
  EXPECT_LT(r.out.find("\"kind\":\"note\",\"text\":\"" + note), r.out.find("\"event\":\"phase\"")) << r.out;
}

// The reply that ends Info also queues its log line: it must come out, and before the result.
TEST_F(CliSimTest, InfoShowsTheLogLinesOfTheReplyBeforeTheResult) {
  StartSim("rev=1234");
  const ProcessResult r = Cli({"info", "--device", Pty()});
  ASSERT_EQ(r.status, 0) << r.err;
  const size_t asking = Find(r.err, "단말기 정보를 읽어옵니다.");
  const size_t received = Find(r.err, "Mobile version received");
  const size_t result = Find(r.err, "result: info completed");
  ASSERT_NE(received, std::string::npos) << r.err;
  ASSERT_NE(result, std::string::npos) << r.err;
  EXPECT_LT(asking, received) << r.err;
  EXPECT_LT(received, result) << r.err;
}

TEST_F(CliSimTest, ToDmSwitchesAHandsetThatOnlyAnswersToDm) {
  StartSim("start=todm; todm-ms=200");
  const ProcessResult r = Cli({"todm", "--device", Pty()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("단말기를 DM 상태로 바꿈"), std::string::npos) << r.err;
  // The handset answers in DM mode now.
  const ProcessResult info = Cli({"info", "--device", Pty()}, "info");
  EXPECT_EQ(info.status, 0) << info.err;
}

TEST_F(CliSimTest, AVersionQuestionAnsweredNoDeclines) {
  struct Case {
    std::vector<std::string> extra;
    std::string says;
  };
  const std::vector<Case> cases = {{{"--no"}, "-> No (--no)"}, {{}, "-> No (no terminal"}};
  StartSim("rev=999");
  const std::string img = MakeImage(0x10000, 0x4000, 203);
  int n = 0;
  for (const auto& c : cases) {
    std::vector<std::string> args = {"download", img, "--device", Pty()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const ProcessResult r = Cli(args, "declined" + std::to_string(n++));
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("S/W version is different. Downloading continue? " + c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Flash programming"), std::string::npos) << r.err;
  }
}

TEST_F(CliSimTest, RefusedImagesAndRangesSendNothing) {
  struct Case {
    std::string name;
    uint32_t size, start;
    bool damage;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"damaged.bin", 0x10000, 0x4000, true, "message: "},
      {"image.img", 0x10000, 0x4000, false, "다운로드용 파일이 아닙니다."},
      {"beyond.bin", 0x10000, 0x20000, false, "lies at or beyond its end"},
      {"partial.bin", 0x10000 + 100, 0x4000, false, "not a whole number of 4096-byte blocks"},
  };
  StartSim("");
  int n = 0;
  for (const auto& c : cases) {
    std::string img = MakeImage(c.size, c.start, 203, c.name);
    if (c.damage) {
      image[image.size() - 37] = 0;  // the signature
      std::ofstream(img, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    }
    const std::string trace = dir + "/trace" + std::to_string(n) + ".txt";
    const ProcessResult r = Cli({"download", img, "--device", Pty(), "--trace-wire", trace}, "refused" + std::to_string(n++));
    EXPECT_EQ(r.status, 3) << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << "\n" << r.err;
    EXPECT_EQ(ReadWholeFile(trace).find(" TX "), std::string::npos) << c.name;
  }
}

// An image that is no regular file is refused before anything opens it (a FIFO or a device
// would be waited on for ever); a FONT download without its address is a usage error. Nothing
// goes to the handset, and the record says what happened to each.
TEST_F(CliSimTest, ImagesThatAreNoFilesAndAFontWithoutAnAddressSendNothing) {
  ASSERT_EQ(mkfifo((dir + "/fifo.bin").c_str(), 0600), 0);
  std::filesystem::create_directories(dir + "/folder.bin");
  const std::string img = MakeImage(0x10000, 0x4000);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{dir + "/missing.bin"}, 3, "No such file"},
      {{dir + "/fifo.bin"}, 3, "a FIFO, not a regular file"},
      {{dir + "/folder.bin"}, 3, "a folder"},
      {{"/dev/zero"}, 3, "a device"},
      {{img, "--type", "font"}, 2, "--type font needs --font-address"},
      {{img, "--type", "font", "--font-blocks", "2"}, 2, "--type font needs --font-address"},
  };
  StartSim("");
  int n = 0;
  for (const auto& c : cases) {
    const std::string trace = dir + "/trace" + std::to_string(n) + ".txt";
    std::vector<std::string> args = {"download"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--device", Pty(), "--json", "--trace-wire", trace});
    const ProcessResult r = Cli(args, "notfile" + std::to_string(n++));
    EXPECT_EQ(r.status, c.status) << c.args[0] << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args[0] << "\n" << r.err;
    EXPECT_EQ(ReadWholeFile(trace).find(" TX "), std::string::npos) << c.args[0];
    if (c.status == 3) {
      EXPECT_NE(r.out.find(R"("outcome":"refused","exit":3)"), std::string::npos) << r.out;
    }
  }
}

TEST_F(CliSimTest, UsageErrorsAndAPortThatDoesNotOpen) {
  const ProcessResult bad = Cli({"download", "x.bin", "--speed", "9600"}, "usage");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--speed"), std::string::npos) << bad.err;
  const ProcessResult unknown = Cli({"download"}, "usage2");
  EXPECT_EQ(unknown.status, 2);

  const ProcessResult noPort = Cli({"info", "--device", dir + "/no-such-tty"}, "noport");
  EXPECT_EQ(noPort.status, 5) << noPort.err;
  EXPECT_NE(noPort.err.find("Can't open COM Port"), std::string::npos) << noPort.err;
  // The error names the device given, not a COM port it was never about.
  EXPECT_NE(noPort.err.find(dir + "/no-such-tty"), std::string::npos) << noPort.err;
  EXPECT_EQ(noPort.err.find("COM1:"), std::string::npos) << noPort.err;
  EXPECT_NE(noPort.err.find("result: info the port could not be opened (exit 5)"), std::string::npos) << noPort.err;
}

TEST_F(CliSimTest, TheTimeoutEndsAWaitThatNeverEnds) {
  StartSim("silent=version:*");
  const ProcessResult r = Cli({"info", "--device", Pty(), "--timeout", "1"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("--timeout"), std::string::npos) << r.err;

  // A handset that answers every request with an error is no silent one: it is given up on
  // long before the time given, and the result says that it refused, not that nothing answered.
  // Paced: on a bare pty a quick refusal can come sooner than its request's line time, and is
  // then rightly not taken as the answer.
  StopSim();
  StartSim("start=download; nak=any:*:A3; pace=on");
  const ProcessResult naks =
      Cli({"download", MakeImage(0x10000, 0x4000), "--type", "emergency", "--device", Pty(), "--timeout", "60"});
  EXPECT_EQ(naks.status, 1) << naks.err;
  EXPECT_NE(naks.err.find("Invalid command!!"), std::string::npos) << naks.err;
  EXPECT_NE(naks.err.find("result: download the handset refused a request every time it went (exit 1)"),
            std::string::npos)
      << naks.err;
  EXPECT_EQ(naks.err.find("no reply"), std::string::npos) << naks.err;
}

TEST_F(CliSimTest, AHangUpDuringProgrammingIsALineBreak) {
  StartSim("erase-ms=200; hangup=block:4");
  const ProcessResult r = Cli({"download", MakeImage(0x10000, 0x4000), "--device", Pty()});
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_EQ(r.err.find("Downloading completed"), std::string::npos) << r.err;
}

// A handset whose port goes away as it restarts after the final jump (a USB port of its own)
// has taken every block: the download completed. Before that ACK a hang-up stays a line break.
TEST_F(CliSimTest, AHandsetThatLeavesTheLineAfterTheFinalJumpCompleted) {
  StartSim("erase-ms=200", {"--exit-after-download"});
  const std::string img = MakeImage(0x10000, 0x4000);
  const ProcessResult r = Cli({"download", img, "--device", Pty(), "--speed", "115200"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Downloading completed"), std::string::npos) << r.err;
  EXPECT_EQ(sim->Wait(20s), 0) << "the handset left on its own: " << sim->Err();
  const std::string flash = ReadWholeFile(dir + "/flash.bin");
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin() + 0x4000, image.end(), flash.begin() + 0x4000,
                         [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));

  StartSim("erase-ms=200; hangup=jump:2");
  const ProcessResult broke = Cli({"download", img, "--device", Pty(), "--speed", "115200"}, "cli2");
  EXPECT_EQ(broke.status, 5) << broke.err;
  EXPECT_EQ(broke.err.find("Downloading completed"), std::string::npos) << broke.err;
}

// Waits until the child's standard error holds the text.
bool WaitForErr(const CChild& child, const std::string& text, std::chrono::seconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < until) {
    if (child.Err().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

TEST_F(CliSimTest, CtrlCStopsWhileWaitingAndIsRefusedWhileErasingUntilPressedTwice) {
  {
    StartSim("silent=version:*");
    CChild cli({TARVISEL_CLI_PATH, "info", "--device", Pty()}, dir, "stop");
    ASSERT_TRUE(WaitForErr(cli, "단말기 정보를 읽어옵니다.", 10s)) << cli.Err();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(20s), 130) << cli.Err();
    EXPECT_NE(cli.Err().find("Downloader stopped!!"), std::string::npos) << cli.Err();
    StopSim();
    sim.reset();
    std::filesystem::remove(Pty());
  }
  StartSim("erase-ms=60000");
  CChild cli({TARVISEL_CLI_PATH, "download", MakeImage(0x10000, 0x4000), "--device", Pty()}, dir, "abort");
  ASSERT_TRUE(WaitForErr(cli, "잠시 기다리십시요..", 30s)) << cli.Err();
  cli.Signal(SIGINT);
  ASSERT_TRUE(WaitForErr(cli, "can't stop downloading", 10s)) << cli.Err();
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(20s), 130) << cli.Err();
}

// Waits until the file holds the text.
bool WaitForFile(const std::string& path, const std::string& text, std::chrono::seconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < until) {
    if (ReadWholeFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

TEST_F(CliSimTest, AStopDuringAPauseSendsNothingMore) {
  const std::string record = dir + "/record.txt";
  StartSim("rev=203; erase-ms=200", {"--record", record});
  CChild cli({TARVISEL_CLI_PATH, "download", MakeImage(0x10000, 0x4000), "--device", Pty()}, dir, "pause");
  // The DM offline request is answered at once; the engine then pauses 3 s before the switch to
  // download mode, and Ctrl-C comes in that pause.
  ASSERT_TRUE(WaitForFile(record, "29 01 00 -> ", 30s)) << cli.Err();
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(20s), 130) << cli.Err();
  EXPECT_NE(cli.Err().find("Downloader stopped!!"), std::string::npos) << cli.Err();
  EXPECT_EQ(cli.Err().find("END__ RX"), std::string::npos) << "a trace line reached the terminal";
  std::this_thread::sleep_for(500ms);  // anything still sent would have reached the handset by now
  StopSim();
  EXPECT_EQ(ReadWholeFile(record).find(":  3A -> "), std::string::npos)
      << "the switch to download mode went after the Stop:\n" << ReadWholeFile(record);
}

TEST_F(CliSimTest, AnInterruptedProgrammingPhaseSaysHowToRecoverAndTheRecoveryWorks) {
  StartSim("rev=203; erase-ms=200; write-ms=300");
  const std::string img = MakeImage(0x10000, 0x4000);  // 12 blocks, over 3 s of writing
  CChild cli({TARVISEL_CLI_PATH, "download", img, "--device", Pty()}, dir, "abort");
  ASSERT_TRUE(WaitForErr(cli, "Flash programming 시작", 30s)) << cli.Err();
  cli.Signal(SIGINT);
  ASSERT_TRUE(WaitForErr(cli, "can't stop downloading", 10s)) << cli.Err();
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(20s), 130) << cli.Err();
  EXPECT_NE(cli.Err().find("the handset's flash is incomplete"), std::string::npos) << cli.Err();
  EXPECT_NE(cli.Err().find("restart the handset"), std::string::npos) << cli.Err();
  EXPECT_NE(cli.Err().find("--type emergency --device " + Pty()), std::string::npos) << cli.Err();

  // Left in its download module, the handset is restarted and boots into download mode, where
  // the EMERGENCY download the tool named puts the whole image back.
  sim->Signal(SIGUSR1);
  ASSERT_TRUE(WaitForErr(*sim, "boots into download mode", 10s)) << sim->Err();
  const ProcessResult r = Cli({"download", img, "--type", "emergency", "--device", Pty()}, "recover");
  EXPECT_EQ(r.status, 0) << r.err;
  StopSim();
  const std::string flash = ReadWholeFile(dir + "/flash.bin");
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin() + 0x4000, image.end() - 37, flash.begin() + 0x4000,
                         [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
}

}  // namespace
