// The record of tarvisel-cli's downloads against tarvisel-sim over a pty: a row for every way a
// download ends, and a record that cannot be opened or written costs a warning, never the
// download.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "DownloadRecorder.h"
#include "HistoryDb.h"
#include "ImageDigest.h"
#include "SampleImage.h"
#include "Subprocess.h"
#include "TestPrograms.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<std::string()>& text, const std::string& what, std::chrono::seconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < until) {
    if (text().find(what) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

class HistorySim : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-history-sim-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    db = dir + "/record/history.sqlite";
    setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
    unsetenv("TARVISEL_COM1");
    unsetenv("TARVISEL_COM2");
  }
  void TearDown() override {
    StopSim();
    unsetenv("TARVISEL_SETTINGS");
    std::error_code ec;
    fs::permissions(dir + "/record", fs::perms::owner_all, ec);
    fs::remove_all(dir, ec);
  }
  void StartSim(const std::string& scenario) {
    sim = std::make_unique<CChild>(std::vector<std::string>{SimProgram(), "--scenario", scenario, "--link", Pty(),
                                                            "--flash-size", "1M"},
                                   dir, "sim");
    for (int i = 0; i < 500 && !fs::exists(Pty()); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(Pty())) << sim->Err();
  }
  void StopSim() {
    if (!sim) return;
    sim->Signal(SIGTERM);
    sim->Wait(20s);
    sim.reset();
  }
  std::string Pty() const { return dir + "/pty"; }
  std::string MakeImage(const std::string& name = "fw.bin") {
    const std::string path = dir + "/" + name;
    sim::WriteImage(path, sim::SampleImage(0x8000, 0x4000, 203, 99));
    return path;
  }
  std::vector<DownloadRecord> Rows() {
    std::string error;
    const auto h = CHistoryDb::Open(db, CHistoryDb::Access::Read, error);
    return h ? h->Rows({}, error).value_or(std::vector<DownloadRecord>{}) : std::vector<DownloadRecord>{};
  }
  std::string dir, db;
  std::unique_ptr<CChild> sim;
};

// What happens to the download on its way, besides waiting for its end.
using During = std::function<void(CChild& cli, const std::string& image)>;

struct EndCase {
  std::string outcome;
  std::string scenario;  // empty: no handset, the port does not open
  std::vector<std::string> args;
  int exit = 0;
  bool phone = false;  // the handset's version is read (the DM-phase types)
  bool damaged = false;  // the image's signature is broken
  During during = nullptr;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.outcome; }

class HistoryEnds : public HistorySim, public ::testing::WithParamInterface<EndCase> {};

const auto kOnJsonText = [](const std::string& what) {
  return [what](CChild& cli, const std::string&) {
    ASSERT_TRUE(WaitFor([&] { return cli.Out(); }, what, 30s)) << cli.Err();
  };
};

TEST_P(HistoryEnds, EveryWayADownloadEndsLeavesItsRow) {
  const EndCase& c = GetParam();
  if (!c.scenario.empty()) StartSim(c.scenario);
  std::string image = MakeImage();
  if (c.damaged) {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(-37, std::ios::end);
    f.put('\0');  // the signature
  }
  const std::string sha256 = FileSha256(image);  // as it was when the download started
  std::vector<std::string> args = {CliProgram(), "download", image, "--device", Pty(), "--json", "--history", db};
  args.insert(args.end(), c.args.begin(), c.args.end());
  CChild cli(args, dir, "cli");
  if (c.during) c.during(cli, image);
  EXPECT_EQ(cli.Wait(60s), c.exit) << cli.Err();

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u) << cli.Err();
  const DownloadRecord& r = rows[0];
  EXPECT_EQ(r.outcome, c.outcome);
  EXPECT_EQ(r.exit, c.exit);
  EXPECT_EQ(r.device, Pty());
  if (c.scenario.empty()) {
    EXPECT_EQ(r.tty, "");
  } else {
    EXPECT_EQ(r.tty.rfind("/dev/pts/", 0), 0u) << r.tty;
  }
  EXPECT_EQ(r.image, image);
  EXPECT_EQ(r.sha256, sha256);
  EXPECT_EQ(r.size, static_cast<int64_t>(fs::file_size(image)));
  EXPECT_EQ(r.type, std::find(c.args.begin(), c.args.end(), "emergency") != c.args.end() ? "emergency" : "normal");
  // The stored speed by default: 115200 in a settings file of none.
  EXPECT_EQ(r.speed, std::find(c.args.begin(), c.args.end(), "57600") != c.args.end() ? 57600 : 115200);
  EXPECT_EQ(!r.phoneSw.empty(), c.phone) << r.phoneSw;
  // The engine opens the image after the port: a port that does not open leaves it unread.
  EXPECT_EQ(r.imageVersion, c.damaged || c.scenario.empty() ? "" : "203");
  EXPECT_TRUE(r.resends) << "counted by this process (the count itself: recorder_test)";
  ASSERT_TRUE(r.elapsedS);
  EXPECT_GE(*r.elapsedS, 0);
  EXPECT_LE(r.start, r.end);
  EXPECT_FALSE(r.host.empty());
  EXPECT_EQ(r.toolVersion, ToolVersion());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, HistoryEnds,
    ::testing::Values(
        EndCase{.outcome = "completed", .scenario = "start=download; erase-ms=200",
                .args = {"--type", "emergency", "--speed", "115200"}, .exit = 0},
        EndCase{.outcome = "no-reply", .scenario = "start=download; silent=dlstart:*", .args = {"--type", "emergency"},
                .exit = 1},
        EndCase{.outcome = "handset-refused", .scenario = "start=download; nak=dlstart:*:A3; pace=on",  // refusals never sooner than the line time
                .args = {"--type", "emergency"}, .exit = 1},
        EndCase{.outcome = "out-of-step", .scenario = "start=download; erase-ms=200; dup=jump:2:0",
                .args = {"--type", "emergency"}, .exit = 1},
        EndCase{.outcome = "timeout", .scenario = "start=download; silent=any:*",
                .args = {"--type", "emergency", "--timeout", "1"}, .exit = 1},
        EndCase{.outcome = "refused", .scenario = "start=download", .args = {"--type", "emergency"}, .exit = 3,
                .damaged = true},
        EndCase{.outcome = "read-error", .scenario = "start=download; erase-ms=3000", .args = {"--type", "emergency"},
                .exit = 3,
                .during =
                    [](CChild& cli, const std::string& image) {
                      kOnJsonText(R"("name":"erase")")(cli, image);
                      const auto then = fs::last_write_time(image);
                      std::fstream(image, std::ios::in | std::ios::out | std::ios::binary).write("rewritten", 9);
                      fs::last_write_time(image, then + 2s);
                    }},
        EndCase{.outcome = "declined", .scenario = "rev=999", .args = {"--no", "--speed", "57600"}, .exit = 4,
                .phone = true},
        EndCase{.outcome = "port", .scenario = "", .args = {"--type", "emergency"}, .exit = 5},
        EndCase{.outcome = "line-broke", .scenario = "start=download; erase-ms=200; hangup=block:2",
                .args = {"--type", "emergency"}, .exit = 5},
        EndCase{.outcome = "stopped", .scenario = "start=download; silent=any:*", .args = {"--type", "emergency"},
                .exit = 130,
                .during =
                    [](CChild& cli, const std::string& image) {
                      kOnJsonText(R"("event":"phase")")(cli, image);
                      cli.Signal(SIGINT);
                    }},
        EndCase{.outcome = "interrupted", .scenario = "start=download; erase-ms=60000",
                .args = {"--type", "emergency"}, .exit = 130,
                .during =
                    [](CChild& cli, const std::string& image) {
                      kOnJsonText(R"("name":"erase")")(cli, image);
                      cli.Signal(SIGINT);
                      ASSERT_TRUE(WaitFor([&] { return cli.Err(); }, "can't stop downloading", 10s));
                      cli.Signal(SIGINT);
                    }}),
    [](const ::testing::TestParamInfo<EndCase>& info) {
      std::string name = info.param.outcome;
      name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
      return name;
    });

// A file given that cannot be written: nothing was tried, and no row says otherwise.
TEST_F(HistorySim, AUsageEndIsNoDownloadAndLeavesNoRow) {
  StartSim("start=download");
  const ProcessResult r = RunProgram({CliProgram(), "download", MakeImage(), "--device", Pty(), "--type", "emergency",
                                      "--history", db, "--log", dir + "/no/such/folder/log.txt"},
                                     dir, "usage");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(Rows().empty());
}

// A download whose record cannot be written: it completes, and says so in the log and in the
// stream a station reads, before its end.
void ExpectWarnedAndCompleted(const ProcessResult& r, const std::string& history) {
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("history: this download is not recorded in " + history), std::string::npos) << r.err;
  const size_t warning = r.out.find(R"("kind":"warning","text":"history: this download is not recorded)");
  EXPECT_NE(warning, std::string::npos) << r.out;
  EXPECT_LT(warning, r.out.find(R"("outcome":"completed")"));
}

class UnwritableRecord : public HistorySim, public ::testing::WithParamInterface<std::string> {};

TEST_P(UnwritableRecord, IsAWarningAndTheDownloadGoesOn) {
  fs::create_directories(dir + "/record");
  std::ofstream(dir + "/record/file") << "x";
  std::ofstream(dir + "/record/corrupt.sqlite") << std::string(8192, '\x5a');
  const std::string history = dir + "/record/" + GetParam();
  StartSim("start=download");
  ExpectWarnedAndCompleted(RunProgram({CliProgram(), "download", MakeImage(), "--device", Pty(), "--type", "emergency",
                                       "--json", "--history", history},
                                      dir, "cli"),
                           history);
}

INSTANTIATE_TEST_SUITE_P(Record, UnwritableRecord, ::testing::Values("corrupt.sqlite", "file/history.sqlite"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param == "corrupt.sqlite" ? "Corrupt" : "InAFolderThatIsAFile";
                         });

// Root writes any file: the ordinary-user pass of the tests runs this one.
TEST_F(HistorySim, AReadOnlyRecordIsAWarningAndTheDownloadGoesOnPermissionDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
  const std::string image = MakeImage();
  const std::string history = dir + "/record/ro.sqlite";
  // A record written before, then made read-only by its owner.
  CDownloadRecorder first(history, nullptr);
  first.Begin({"/dev/ttyUSB0", image, "emergency", 115200, true, "", ""});
  ASSERT_TRUE(first.Finish("completed", 0));
  fs::permissions(history, fs::perms::owner_read | fs::perms::group_read);
  fs::permissions(dir + "/record", fs::perms::owner_read | fs::perms::owner_exec);
  StartSim("start=download");
  ExpectWarnedAndCompleted(RunProgram({CliProgram(), "download", image, "--device", Pty(), "--type", "emergency",
                                       "--json", "--history", history},
                                      dir, "cli"),
                           history);
}

}  // namespace
