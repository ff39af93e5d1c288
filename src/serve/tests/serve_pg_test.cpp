// serve over the line's shared PostgreSQL record (the tests' own server): rows sent by the
// stations' insert show in /api and /metrics as stored, whatever their text; rows whose ids
// become visible out of order are not lost; a server that goes away is reported, not waited on.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include <functional>
#include <map>
#include <set>
#include <thread>

#include "DownloadRecorder.h"
#include "IsoTime.h"
#include "LineFacts.h"
#include "LineServer.h"
#include "LiveState.h"
#include "PromText.h"
#include "SharedRecord.h"
#include "pg/PgServer.h"

using namespace std::chrono;
using json = nlohmann::json;
using Clock = CPgConnection::Clock;

namespace {

class PgServe : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server = CPgServer::Shared(why);
    if (!server) GTEST_SKIP() << why;
    url = server->NewDatabase();
    ASSERT_FALSE(url.empty());
    std::string error;
    record = CSharedRecord::Open(url, Clock::now() + 20s, error);
    ASSERT_TRUE(record) << error;
    const SharedInit init = record->Init(Clock::now() + 30s);
    ASSERT_TRUE(init.ok) << init.message;
  }
  std::unique_ptr<CLineServer> Serve(milliseconds wait = 2s) {
    std::string error;
    auto line = OpenPgLineRecord(url, error, wait);
    EXPECT_TRUE(line) << error;
    if (!line) return nullptr;
    auto s = std::make_unique<CLineServer>(std::move(line));
    EXPECT_TRUE(s->Load(error)) << error;
    return s;
  }
  void Send(const std::vector<DownloadRecord>& rows) {
    std::string error;
    ASSERT_TRUE(record->Insert(rows, Clock::now() + 20s, error)) << error;
  }
  static PromText Metrics(CLineServer& s) {
    const auto a = s.Get("/metrics");
    PromText prom;
    std::string error;
    EXPECT_TRUE(ParsePromText(a.body, prom, error)) << error << "\n" << a.body;
    return prom;
  }

  CPgServer* server = nullptr;
  std::string url;
  std::unique_ptr<CSharedRecord> record;
};

DownloadRecord Row(int i, const std::string& station, const std::string& unit = {}) {
  DownloadRecord r;
  r.uuid = NewUuid();
  r.station = station;
  r.host = station + ".local";
  r.unit = unit;
  // Today, a minute or so ago, so that today's counts and the last hour take them.
  r.start = IsoUtc(system_clock::now() - seconds(90 + i));
  r.end = IsoUtc(system_clock::now() - seconds(30 + i));
  r.device = "/dev/ttyUSB" + std::to_string(i % 3);
  r.image = i % 2 ? "/srv/images/a.bin" : "/srv/images/b.bin";
  r.outcome = i % 4 ? "completed" : "no-reply";
  r.exit = i % 4 ? 0 : 1;
  r.elapsedS = 5.0 + i;
  if (i % 3) r.resends = i;
  return r;
}

TEST_F(PgServe, RowsSentByTheStationsShowAsStoredAndTheCountersMatch) {
  auto s = Serve();
  ASSERT_TRUE(s);
  // Before any row: nothing, and the record up.
  EXPECT_EQ(json::parse(s->Get("/api/latest").body).size(), 0u);
  EXPECT_EQ(Metrics(*s).Sum("tarvisel_record_up"), 1);

  const std::vector<std::string> hostile = {"<img src=x onerror=alert(1)>", "quote \" back\\slash ' $1 %s",
                                            "한글 단말기", "line\nbreak\ttab", "'); DROP TABLE downloads; --"};
  std::vector<DownloadRecord> sent;
  for (int i = 0; i < 12; ++i) sent.push_back(Row(i, i % 2 ? "line-a" : "line-b", hostile[i % hostile.size()]));
  Send({sent.begin(), sent.begin() + 7});
  // Read in between: the rest are taken after what was read, not again from the start.
  EXPECT_EQ(json::parse(s->Get("/api/latest").body).size(), 7u);
  Send({sent.begin() + 7, sent.end()});
  Send({sent[0], sent[3]});  // sent again: stored once, counted once

  const json latest = json::parse(s->Get("/api/latest").body);
  ASSERT_EQ(latest.size(), sent.size());
  std::multiset<std::string> units, shown;
  for (const auto& r : sent) units.insert(r.unit);
  for (const auto& r : latest) shown.insert(r["unit"].get<std::string>());
  EXPECT_EQ(shown, units);

  const json today = json::parse(s->Get("/api/today").body);
  std::map<std::string, std::pair<int, int>> byStation;  // total, completed
  for (const auto& r : sent) {
    ++byStation[r.station].first;
    byStation[r.station].second += r.outcome == "completed";
  }
  EXPECT_EQ(today["total"], 12);
  EXPECT_EQ(today["completed"], byStation["line-a"].second + byStation["line-b"].second);
  ASSERT_EQ(today["by_station"].size(), 2u);
  for (const auto& st : today["by_station"]) {
    const auto& want = byStation[st["station"].get<std::string>()];
    EXPECT_EQ(st["total"], want.first) << st;
    EXPECT_EQ(st["completed"], want.second) << st;
  }

  const PromText prom = Metrics(*s);
  std::map<std::tuple<std::string, std::string, std::string, std::string>, double> downloads;
  std::map<std::pair<std::string, std::string>, double> resends;
  for (const auto& r : sent) {
    ++downloads[{r.station, r.device, ImageName(r.image), r.outcome}];
    resends[{r.station, r.device}] += static_cast<double>(r.resends.value_or(0));
  }
  for (const auto& [key, n] : downloads) {
    const auto& [station, port, image, outcome] = key;
    EXPECT_EQ(prom.Sum("tarvisel_downloads_total", {{"station", station}, {"port", port}, {"image", image}, {"outcome", outcome}}), n)
        << station << " " << port << " " << image << " " << outcome;
  }
  EXPECT_EQ(prom.Sum("tarvisel_downloads_total"), 12);
  for (const auto& [key, n] : resends)
    EXPECT_EQ(prom.Sum("tarvisel_resends_total", {{"station", key.first}, {"port", key.second}}), n);
  EXPECT_EQ(prom.Sum("tarvisel_download_duration_seconds_count"), 12);
  EXPECT_EQ(prom.Sum("tarvisel_record_up"), 1);
}

TEST_F(PgServe, ARowCommittedAfterALaterOneIsStillTaken) {
  auto s = Serve();
  ASSERT_TRUE(s);
  // A station's insert takes its id and is slow to commit; another's, with a later id, commits first.
  std::string error;
  auto slow = CPgConnection::Connect(url, Clock::now() + 20s, error);
  ASSERT_TRUE(slow) << error;
  ASSERT_TRUE(slow->Run("BEGIN", Clock::now() + 20s, error)) << error;
  CSharedRecord slowStation(std::move(slow));
  ASSERT_TRUE(slowStation.Insert({Row(1, "slow", "held")}, Clock::now() + 20s, error)) << error;
  Send({Row(2, "quick", "first")});
  EXPECT_EQ(json::parse(s->Get("/api/latest").body).size(), 1u);
  ASSERT_TRUE(slowStation.Connection().Run("COMMIT", Clock::now() + 20s, error)) << error;
  Send({Row(3, "quick", "after")});

  const json latest = json::parse(s->Get("/api/latest").body);
  std::multiset<std::string> units;
  for (const auto& r : latest) units.insert(r["unit"].get<std::string>());
  EXPECT_EQ(units, (std::multiset<std::string>{"held", "first", "after"}));
  EXPECT_EQ(Metrics(*s).Sum("tarvisel_downloads_total"), 3);
  // And asked again, nothing is counted twice.
  EXPECT_EQ(Metrics(*s).Sum("tarvisel_downloads_total"), 3);
}

TEST_F(PgServe, AServerThatGoesAwayIsReportedWithinTheWaitAndFoundAgain) {
  Send({Row(1, "line-a", "u1")});
  auto s = Serve(1s);
  ASSERT_TRUE(s);
  ASSERT_TRUE(server->Stop());
  for (const char* path : {"/metrics", "/api/line"}) {
    const auto start = steady_clock::now();
    const auto a = s->Get(path);
    EXPECT_LT(steady_clock::now() - start, 3s) << path;
    EXPECT_EQ(a.status, 200) << path;
    if (std::string(path) == "/metrics") {
      PromText prom;
      std::string error;
      ASSERT_TRUE(ParsePromText(a.body, prom, error)) << error;
      EXPECT_EQ(prom.Sum("tarvisel_record_up"), 0);
      // What was read before stays on show.
      EXPECT_EQ(prom.Sum("tarvisel_downloads_total"), 1);
    } else {
      const json line = json::parse(a.body);
      ASSERT_TRUE(line["record_error"].is_string()) << line;
    }
  }
  ASSERT_TRUE(server->Start());
  std::string error;
  record = CSharedRecord::Open(url, Clock::now() + 20s, error);
  ASSERT_TRUE(record) << error;
  Send({Row(2, "line-a", "u2")});
  const PromText prom = Metrics(*s);
  EXPECT_EQ(prom.Sum("tarvisel_record_up"), 1);
  EXPECT_EQ(prom.Sum("tarvisel_downloads_total"), 2);
}

TEST_F(PgServe, ARecordWithoutNumberedRowsOrNotThereAtAllIsRefusedWithWhy) {
  const struct {
    const char* name;
    std::function<std::string()> url;
    const char* says;
  } cases[] = {
      {"older schema",
       [&] {
         const std::string old = server->NewDatabase();
         std::string error;
         auto r = CSharedRecord::Open(old, Clock::now() + 20s, error);
         EXPECT_TRUE(r && r->Init(Clock::now() + 30s, 1).ok) << error;
         return old;
       },
       "run tarvisel-cli record init URL"},
      {"no tables", [&] { return server->NewDatabase(); }, "schema 0"},
      {"no server", [] { return std::string("host=/nonexistent-folder port=5432 dbname=x"); }, "cannot reach"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(OpenPgLineRecord(c.url(), error, 1s)) << c.name;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
  }
}

// The station named, as /api/stations shows it; null until it is there.
json StationOf(CLineServer& s, const std::string& name) {
  for (const auto& st : json::parse(s.Get("/api/stations").body))
    if (st["station"] == name) return st;
  return nullptr;
}

// Asks until pred holds of the station, for at most a few seconds (the mirror sends from a thread).
json AwaitStation(CLineServer& s, const std::string& name, const std::function<bool(const json&)>& pred) {
  json st;
  for (const auto until = steady_clock::now() + 5s; steady_clock::now() < until; std::this_thread::sleep_for(20ms))
    if (st = StationOf(s, name); !st.is_null() && pred(st)) break;
  return st;
}

TEST_F(PgServe, APortsLiveStateReachesTheSharedRecordAndItsTiles) {
  char tmpl[] = "/tmp/tarvisel-serve-pg-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  auto s = Serve();
  ASSERT_TRUE(s);
  const std::string hostile = "<img src=x onerror=alert(1)>";
  {
    CLiveStatePublisher publisher(dir + "/history.sqlite", "line-a", url);
    const auto t0 = steady_clock::now();
    publisher.Set({"/dev/ttyUSB0", true, "programming", 42.5, hostile, ""}, t0);
    // Quotes, braces, commas and a NULL that is text: the rows go to the server as arrays.
    const std::string awkward = "\"NULL\", {1,2} \\ ' 한글";
    publisher.Set({"/dev/ttyUSB1", true, "", std::nullopt, awkward, "no-reply"}, t0);
    json st = AwaitStation(*s, "line-a", [](const json& j) { return j["ports"].size() == 2; });
    ASSERT_FALSE(st.is_null());
    EXPECT_TRUE(st["online"]) << st;
    ASSERT_EQ(st["ports"].size(), 2u) << st;
    const json& busy = st["ports"][0];
    EXPECT_EQ(busy["port"], "/dev/ttyUSB0");
    EXPECT_EQ(busy["state"], "busy");
    EXPECT_EQ(busy["percent"], 42.5);
    EXPECT_EQ(busy["unit"], hostile);
    EXPECT_EQ(st["ports"][1]["state"], "failed");
    EXPECT_EQ(st["ports"][1]["last_outcome"], "no-reply");
    EXPECT_EQ(st["ports"][1]["unit"], awkward);

    // A later state of the port replaces the one before, a second on.
    publisher.Set({"/dev/ttyUSB0", true, "", std::nullopt, hostile, "completed"}, t0 + kLiveMinGap);
    st = AwaitStation(*s, "line-a", [](const json& j) { return j["ports"][0]["state"] == "done"; });
    EXPECT_EQ(st["ports"][0]["state"], "done") << st;
    EXPECT_EQ(st["ports"].size(), 2u);
  }
  // The publisher gone, its station is marked ended: offline at once.
  const json st = StationOf(*s, "line-a");
  EXPECT_TRUE(st["ended"]) << st;
  EXPECT_FALSE(st["online"]) << st;
  EXPECT_EQ(Metrics(*s).Sum("tarvisel_stations_online"), 0);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

TEST_F(PgServe, AServerThatDoesNotAnswerNeverDelaysTheStation) {
  char tmpl[] = "/tmp/tarvisel-serve-pg-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  // A port that takes the connection and never says a word.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const std::string quiet = "host=127.0.0.1 port=" + std::to_string(ntohs(a.sin_port)) + " dbname=x";
  {
    CLiveStatePublisher publisher(dir + "/history.sqlite", "line-q", quiet);
    auto t = steady_clock::now();
    for (int i = 0; i < 20; ++i) {
      const auto before = steady_clock::now();
      publisher.Set({"/dev/ttyUSB0", true, "programming", 5.0 * i, "", ""}, t);
      publisher.Flush(t);
      // Each is a write to the station's own file, never a wait on the server.
      EXPECT_LT(steady_clock::now() - before, 1s) << i;
      t += kLiveMinGap;
    }
    EXPECT_GE(publisher.Writes(), 40) << "every port's state and heartbeat in the station's own record";
  }
  ::close(silent);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
