// tarvisel-cli and the line's shared record, against tarvisel-sim handsets and a PostgreSQL
// server of the tests' own: a download's row arrives with its UUID, unit and station; a server
// that is away, refuses or says nothing costs a warning and never the download; its rows follow
// when it is back, each once; sixteen stations at once; a watch gives scanned units in order.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "DownloadRecorder.h"
#include "HistoryDb.h"
#include "SampleImage.h"
#include "SharedRecord.h"
#include "Subprocess.h"
#include "TestPrograms.h"
#include "pg/PgServer.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* kQuick = "start=download; erase-ms=100";

class PgRecordSim : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server = CPgServer::Shared(why);
    if (!server) GTEST_SKIP() << why;
    url = server->NewDatabase();
    ASSERT_FALSE(url.empty());
    std::string error;
    auto record = CSharedRecord::Open(url, Clock::now() + 20s, error);
    ASSERT_TRUE(record && record->Init(Clock::now() + 30s).ok) << error;
    char tmpl[] = "/tmp/tarvisel-record-sim-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    db = dir + "/history.sqlite";
    setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
    unsetenv("TARVISEL_RECORD");
    sim::WriteImage(dir + "/fw.bin", sim::SampleImage(0x8000, 0x4000, 203, 5));
  }
  void TearDown() override {
    sims.clear();
    if (server) server->Start();  // for the next test, whatever this one did
    unsetenv("TARVISEL_SETTINGS");
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  // A handset in download mode behind a pty linked at dir/name.
  void Plug(const std::string& link) {
    sims.push_back(std::make_unique<CChild>(
        std::vector<std::string>{SimProgram(), "--scenario", kQuick, "--link", link, "--flash-size", "1M"}, dir,
        "sim" + std::to_string(sims.size())));
    for (int i = 0; i < 500 && !fs::exists(link); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(link)) << sims.back()->Err();
  }
  ProcessResult Download(const std::vector<std::string>& more) {
    const std::string link = dir + "/pty" + std::to_string(sims.size());
    Plug(link);
    std::vector<std::string> args = {CliProgram(), "download", dir + "/fw.bin", "--device", link, "--type", "emergency",
                                     "--speed", "115200", "--history", db};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(args, dir, "cli" + std::to_string(sims.size()), 90s);
  }
  ProcessResult Cli(std::vector<std::string> args, const std::string& tag = "cli") {
    args.insert(args.begin(), CliProgram());
    return RunProgram(args, dir, tag, 120s);
  }
  std::vector<DownloadRecord> Shared(const HistoryFilter& filter = {}) {
    std::string error;
    auto record = CSharedRecord::Open(url, Clock::now() + 20s, error);
    auto rows = record ? record->Rows(filter, error) : std::nullopt;
    EXPECT_TRUE(rows) << error;
    return rows.value_or(std::vector<DownloadRecord>{});
  }
  std::vector<DownloadRecord> Local(const std::string& path) {
    std::string error;
    auto h = CHistoryDb::Open(path, CHistoryDb::Access::Read, error);
    return h ? h->Rows({}, error).value_or(std::vector<DownloadRecord>{}) : std::vector<DownloadRecord>{};
  }
  int64_t Pending(const std::string& path) {
    std::string error;
    auto h = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
    return h ? h->PendingCount(error).value_or(-1) : -1;
  }
  std::string Value(const std::string& sql) {
    std::string error;
    auto pg = CPgConnection::Connect(url, Clock::now() + 20s, error);
    const PgResult r = pg ? pg->Exec(sql, {}, Clock::now() + 20s, error) : nullptr;
    return r ? PgText(r.get(), 0, 0) : "error: " + error;
  }

  CPgServer* server = nullptr;
  std::string url, dir, db;
  std::vector<std::unique_ptr<CChild>> sims;
};

TEST_F(PgRecordSim, ADownloadsRowArrivesWithItsUuidUnitAndStation) {
  const std::string unit = "SN-0042 'quoted'; DROP TABLE downloads; --";
  const ProcessResult r = Download({"--record", url, "--unit", unit, "--station-name", "line 3 / 단말"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("record:"), std::string::npos) << r.err;
  const auto local = Local(db);
  ASSERT_EQ(local.size(), 1u);
  const auto shared = Shared();
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_EQ(shared[0].uuid, local[0].uuid);
  EXPECT_EQ(shared[0].uuid.size(), 36u);
  EXPECT_EQ(shared[0].unit, unit);
  EXPECT_EQ(shared[0].station, "line 3 / 단말");
  EXPECT_EQ(shared[0].outcome, "completed");
  EXPECT_EQ(shared[0].device, local[0].device);
  EXPECT_EQ(shared[0].start, local[0].start);
  EXPECT_EQ(Pending(db), 0);

  // Read back by the unit, as JSON; a station whose clock is off is named.
  ASSERT_EQ(Value("INSERT INTO downloads (uuid, station, start, \"end\", device, outcome, station_clock) VALUES "
                  "(gen_random_uuid(), 'line-9', now(), now(), 'd', 'completed', now() + interval '3 minutes') "
                  "RETURNING station"),
            "line-9");
  const ProcessResult h = Cli({"history", "--record", url, "--unit", unit, "--json"});
  ASSERT_EQ(h.status, 0) << h.err;
  EXPECT_NE(h.out.find("\"uuid\":\"" + local[0].uuid + "\""), std::string::npos) << h.out;
  EXPECT_EQ(h.err.find("line-9"), std::string::npos) << "not among the rows asked for";
  const ProcessResult all = Cli({"history", "--record", url});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_NE(all.err.find("the clock of station line-9 was 180 s ahead of the server's"), std::string::npos) << all.err;
  EXPECT_NE(all.out.find("line 3 / 단말"), std::string::npos) << all.out;
  EXPECT_EQ(all.err.substr(0, all.err.find('\n')), "history: 2 downloads: 2 completed, 0 failed");
}

TEST_F(PgRecordSim, TheServerAwayCostsTheDownloadNothingAndItsRowsFollowOnceWhenItIsBack) {
  // What a download costs beyond its own time on this machine (start, checks, end), without a
  // shared record: the server's absence may add no more than its bound to that.
  double overhead = 0;
  {
    const std::string shared = db;
    db = dir + "/alone.sqlite";  // a record of its own: nothing of it goes to the server
    const auto start = Clock::now();
    const ProcessResult r = Download({});
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const auto rows = Local(db);
    db = shared;
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(rows.empty());
    overhead = wall - rows.front().elapsedS.value_or(0);
  }
  const int64_t pendingBefore = Pending(db);
  ASSERT_TRUE(server->Stop());
  for (int i = 0; i < 2; ++i) {
    const auto start = Clock::now();
    const ProcessResult r = Download({"--record", url, "--unit", "U" + std::to_string(i)});
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("result: download completed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("record: not sent to the shared record"), std::string::npos) << r.err;
    // The end waits for the server no more than its bound.
    const auto rows = Local(db);
    ASSERT_FALSE(rows.empty());
    EXPECT_LT(wall - rows.front().elapsedS.value_or(0) - overhead, 2.5) << r.err;
    EXPECT_EQ(Pending(db), pendingBefore + i + 1);
  }
  const ProcessResult away = Cli({"record", "status", "--record", url, "--history", db});
  EXPECT_EQ(away.status, 0);
  EXPECT_NE(away.out.find("pending:     2 row(s)"), std::string::npos) << away.out;
  EXPECT_NE(away.out.find("server:      not reached"), std::string::npos) << away.out;
  const ProcessResult failed = Cli({"record", "sync", "--record", url, "--history", db});
  EXPECT_EQ(failed.status, 1) << failed.err;

  ASSERT_TRUE(server->Start());
  // The server had one of them already: its mark was lost after the commit.
  {
    std::string error;
    auto outbox = CHistoryDb::Open(db, CHistoryDb::Access::Append, error);
    auto record = CSharedRecord::Open(url, Clock::now() + 20s, error);
    ASSERT_TRUE(outbox && record) << error;
    ASSERT_EQ(record->Insert(*outbox->Pending(1, error), Clock::now() + 20s, error), 1) << error;
  }
  const ProcessResult sync = Cli({"record", "sync", "--history", db, "--record", url});
  EXPECT_EQ(sync.status, 0) << sync.err;
  EXPECT_EQ(sync.err, "record: 2 row(s) sent (1 the server had already); 0 wait\n");
  EXPECT_EQ(Value("SELECT count(*) FROM downloads"), "2");
  EXPECT_EQ(Value("SELECT string_agg(unit, ',' ORDER BY unit) FROM downloads"), "U0,U1");
  // By the environment this time; nothing is left to send.
  setenv("TARVISEL_RECORD", url.c_str(), 1);
  const ProcessResult again = Cli({"record", "sync", "--history", db});
  unsetenv("TARVISEL_RECORD");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err, "record: 0 row(s) sent; 0 wait\n");
  const ProcessResult status = Cli({"record", "status", "--record", url, "--history", db});
  EXPECT_NE(status.out.find("pending:     0 row(s)"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("clock:       "), std::string::npos) << status.out;
}

TEST_F(PgRecordSim, ARecordThatRefusesOrSaysNothingIsAWarningNeverTheDownloadsEnd) {
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const std::string dbname = url.substr(url.find("dbname=") + 7);
  const struct {
    const char* name;
    std::string url;
    std::string says;
  } cases[] = {
      {"wrong password", server->TcpUrl(dbname, "wrong"), "password authentication failed"},
      {"wrong URL", "postgresql://tarvisel@/nodb?host=/nonexistent-folder", "No such file"},
      {"silent server", "host=127.0.0.1 port=" + std::to_string(ntohs(a.sin_port)) + " connect_timeout=1",
       "no answer from the server in time"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = Download({"--record", c.url, "--json"});
    EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
    EXPECT_NE(r.out.find(R"("outcome":"completed")"), std::string::npos) << c.name;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(r.err.find("wrong@"), std::string::npos) << "the password is not shown";
  }
  ::close(silent);
  EXPECT_EQ(Pending(db), 3);
}

TEST_F(PgRecordSim, SixteenStationsSendingAtOnceStoreEveryRowOnce) {
  constexpr int kStations = 16, kRows = 40;
  for (int s = 0; s < kStations; ++s) {
    std::string error;
    auto outbox = CHistoryDb::Open(dir + "/station" + std::to_string(s) + ".sqlite", CHistoryDb::Access::Append, error);
    ASSERT_TRUE(outbox) << error;
    for (int i = 0; i < kRows; ++i) {
      DownloadRecord r;
      r.uuid = NewUuid();
      r.station = "station-" + std::to_string(s);
      r.unit = "unit-" + std::to_string(s) + "-" + std::to_string(i);
      r.start = r.end = "2026-12-09T08:00:00.000Z";
      r.device = "/dev/ttyUSB0";
      r.outcome = "completed";
      ASSERT_TRUE(outbox->Append(r, error)) << error;
    }
  }
  // Each station's sync, and a second one of station 0's outbox at the same time.
  std::vector<std::unique_ptr<CChild>> syncs;
  for (int s = 0; s <= kStations; ++s)
    syncs.push_back(std::make_unique<CChild>(
        std::vector<std::string>{CliProgram(), "record", "sync", "--record", url, "--history",
                                 dir + "/station" + std::to_string(s % kStations) + ".sqlite"},
        dir, "sync" + std::to_string(s)));
  for (auto& s : syncs) EXPECT_EQ(s->Wait(120s), 0) << s->Err();
  EXPECT_EQ(Value("SELECT count(*) FROM downloads"), std::to_string(kStations * kRows));
  EXPECT_EQ(Value("SELECT count(DISTINCT unit) FROM downloads"), std::to_string(kStations * kRows));
  for (int s = 0; s < kStations; ++s) EXPECT_EQ(Pending(dir + "/station" + std::to_string(s) + ".sqlite"), 0) << s;
}

TEST_F(PgRecordSim, AWatchGivesEachScannedUnitToTheNextHandsetInOrder) {
  const std::string ports = dir + "/by-id";
  fs::create_directories(ports);
  const std::string fifo = dir + "/scanner";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  CChild watch({CliProgram(), "watch", dir + "/fw.bin", "--ports-dir", ports, "--type", "emergency", "--speed", "115200",
                "--yes", "--history", db, "--record", url, "--units-from", fifo, "--station-name", "line-7"},
               dir, "watch");
  auto says = [&](const std::string& text) {
    for (int i = 0; i < 3000; ++i) {
      if (watch.Err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  };
  ASSERT_TRUE(says("watching ")) << watch.Err();
  {
    std::ofstream scanner(fifo);
    scanner << "UNIT-A\r\n  UNIT-B \n" << std::flush;
  }
  ASSERT_TRUE(says("unit UNIT-B scanned")) << watch.Err();
  Plug(ports + "/usb-first");
  ASSERT_TRUE(says("usb-first: gets unit UNIT-A")) << watch.Err();
  Plug(ports + "/usb-second");
  ASSERT_TRUE(says("usb-second: gets unit UNIT-B")) << watch.Err();
  Plug(ports + "/usb-third");
  ASSERT_TRUE(says("usb-third: no unit scanned")) << watch.Err();
  for (int i = 0; i < 3000 && Shared().size() < 3; ++i) std::this_thread::sleep_for(20ms);
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(60s), 0) << watch.Err();
  std::map<std::string, std::string> unitOf;
  for (const auto& r : Shared({"", "", "", "", "line-7"})) unitOf[fs::path(r.device).filename().string()] = r.unit;
  const std::map<std::string, std::string> expected = {
      {"usb-first", "UNIT-A"}, {"usb-second", "UNIT-B"}, {"usb-third", ""}};
  EXPECT_EQ(unitOf, expected);
}

}  // namespace
