// serve's facts from a record: the live state as stations publish it (a second per port at
// most, a heartbeat, offline after it stops), today's counts, the last hour's failures, the
// hours, /metrics held to the text format's rules with counters that match the record, and the
// server itself: GET only, the record left as it was.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "HistoryDb.h"
#include "IsoTime.h"
#include "LineFacts.h"
#include "LineServer.h"
#include "LiveState.h"
#include "PromText.h"

namespace fs = std::filesystem;
using namespace std::chrono;
using json = nlohmann::json;

namespace {

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-serve-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/history.sqlite";
    std::string error;
    db = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
    ASSERT_TRUE(db) << error;
  }
  void TearDown() override {
    db.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // A finished download that ended `ago` before now.
  DownloadRecord Add(const std::string& station, const std::string& port, const std::string& image,
                     const std::string& outcome, system_clock::duration ago, double elapsed = 60, int64_t resends = 0) {
    DownloadRecord r;
    r.end = IsoUtc(now - ago);
    r.start = IsoUtc(now - ago - duration_cast<system_clock::duration>(duration<double>(elapsed)));
    r.host = station;
    r.device = port;
    r.image = "/srv/images/" + image;
    r.outcome = outcome;
    r.elapsedS = elapsed;
    r.resends = resends;
    r.toolVersion = "test";
    std::string error;
    EXPECT_TRUE(db->Append(r, error)) << error;
    return r;
  }
  std::unique_ptr<ILineRecord> Reader() {
    std::string error;
    auto r = OpenSqliteLineRecord(path, error);
    EXPECT_TRUE(r) << error;
    return r;
  }
  void Exec(const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(raw);
  }

  std::string dir, path;
  std::unique_ptr<CHistoryDb> db;
  const system_clock::time_point now = time_point_cast<seconds>(system_clock::now());
};

const json* Find(const json& list, const std::string& key, const std::string& value) {
  for (const auto& item : list)
    if (item.contains(key) && item[key] == value) return &item;
  return nullptr;
}

// ----------------------------------------------------------------------------------------------
// The live state

TEST_F(ServeTest, APortIsWrittenAtMostOnceASecondAndItsLastStateWins) {
  CLiveStatePublisher publisher(path, "line-a");
  const auto t0 = steady_clock::now();
  LivePort p{"/dev/ttyUSB0", true, "programming", 10.0, "", ""};
  publisher.Set(p, t0);
  const long first = publisher.Writes();
  EXPECT_EQ(first, 2) << "the port and the heartbeat";
  for (int i = 1; i <= 9; ++i) {  // nine reports within the second
    p.percent = 10.0 + i;
    publisher.Set(p, t0 + milliseconds(100 * i));
  }
  EXPECT_EQ(publisher.Writes(), first) << "nothing more within the second";
  EXPECT_EQ(publisher.Due(), t0 + kLiveMinGap);
  publisher.Flush(t0 + milliseconds(999));
  EXPECT_EQ(publisher.Writes(), first);
  publisher.Flush(t0 + kLiveMinGap);
  EXPECT_EQ(publisher.Writes(), first + 2);

  auto reader = Reader();
  std::vector<LivePortRow> ports;
  std::vector<StationBeat> stations;
  std::string error;
  ASSERT_TRUE(reader->Live(ports, stations, error)) << error;
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].station, "line-a");
  EXPECT_EQ(ports[0].phase, "programming");
  EXPECT_DOUBLE_EQ(ports[0].percent.value_or(-1), 19.0) << "the last report of the second";
  ASSERT_EQ(stations.size(), 1u);
  EXPECT_FALSE(stations[0].ended);
}

TEST_F(ServeTest, TheHeartbeatGoesEveryFewSecondsAndTheEndIsMarked) {
  const auto t0 = steady_clock::now();
  {
    CLiveStatePublisher publisher(path, "line-b");
    publisher.Flush(t0);
    EXPECT_EQ(publisher.Writes(), 1);
    publisher.Flush(t0 + kLiveHeartbeat - milliseconds(1));
    EXPECT_EQ(publisher.Writes(), 1);
    publisher.Flush(t0 + kLiveHeartbeat);
    EXPECT_EQ(publisher.Writes(), 2);
    EXPECT_EQ(publisher.Due(), t0 + 2 * kLiveHeartbeat);
    // Pending when the station ends: written by the last write.
    publisher.Set({"/dev/ttyUSB1", true, "", std::nullopt, "", "completed"}, t0 + kLiveHeartbeat);
    publisher.Set({"/dev/ttyUSB1", true, "", std::nullopt, "", "no-reply"}, t0 + kLiveHeartbeat + milliseconds(10));
  }
  std::vector<LivePortRow> ports;
  std::vector<StationBeat> stations;
  std::string error;
  ASSERT_TRUE(Reader()->Live(ports, stations, error)) << error;
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].lastOutcome, "no-reply");
  ASSERT_EQ(stations.size(), 1u);
  EXPECT_TRUE(stations[0].ended);
}

TEST_F(ServeTest, APublisherWithoutItsRecordWaitsForTheHeartbeatAndNeverThrows) {
  CLiveStatePublisher publisher(dir + "/no-such-folder-file/\x01/x.sqlite", "line-c");
  fs::create_directories(dir + "/blocked");
  CLiveStatePublisher blocked(dir + "/blocked", "line-c");  // a folder, not a database
  const auto t0 = steady_clock::now();
  blocked.Set({"/dev/ttyUSB0", true, "erase", std::nullopt, "", ""}, t0);
  EXPECT_EQ(blocked.Writes(), 0);
  EXPECT_FALSE(blocked.LastError().empty());
  EXPECT_EQ(blocked.Due(), t0 + kLiveHeartbeat) << "not at once again: the station's loop would spin";
}

TEST_F(ServeTest, AStationIsOfflineWhenItsHeartbeatIsOlderThanTheStatedTime) {
  CLiveStatePublisher publisher(path, "line-a");
  publisher.Set({"/dev/ttyUSB0", true, "programming", 50.0, "", ""}, steady_clock::now());
  auto reader = Reader();
  CLineFacts facts(*reader);
  std::string error;
  const auto real = system_clock::now();
  struct Case {
    system_clock::duration later;
    bool online;
    const char* state;
  } cases[] = {{seconds(0), true, "busy"},
               {kLiveOfflineAfter - seconds(1), true, "busy"},
               {kLiveOfflineAfter + seconds(1), false, "offline"}};
  for (const auto& c : cases) {
    ASSERT_TRUE(facts.Refresh(real + c.later, error)) << error;
    const json stations = facts.Stations(real + c.later, LocalMidnight(real));
    ASSERT_EQ(stations.size(), 1u);
    EXPECT_EQ(stations[0]["online"], c.online);
    EXPECT_EQ(stations[0]["ports"][0]["state"], c.state);
    PromText prom;
    ASSERT_TRUE(ParsePromText(facts.Metrics(real + c.later), prom, error)) << error;
    EXPECT_EQ(prom.Sum("tarvisel_stations_online"), c.online ? 1 : 0);
    EXPECT_EQ(prom.Sum("tarvisel_ports_busy"), c.online ? 1 : 0);
  }
}

TEST_F(ServeTest, TileStatesByWordFollowThePort) {
  CLiveStatePublisher publisher(path, "line-a");
  const auto t0 = steady_clock::now();
  const struct {
    LivePort port;
    const char* state;
    const char* words;
  } cases[] = {
      {{"/dev/p0", false, "", std::nullopt, "", ""}, "empty", "no handset"},
      {{"/dev/p1", true, "", std::nullopt, "", ""}, "waiting", "waiting"},
      {{"/dev/p2", true, "erase", std::nullopt, "", ""}, "busy", "erase"},
      {{"/dev/p3", true, "", std::nullopt, "", "completed"}, "done", "done"},
      {{"/dev/p4", true, "", std::nullopt, "", "no-reply"}, "failed", "no reply from the handset"},
  };
  for (const auto& c : cases) publisher.Set(c.port, t0);
  auto reader = Reader();
  CLineFacts facts(*reader);
  std::string error;
  ASSERT_TRUE(facts.Refresh(system_clock::now(), error)) << error;
  const json ports = facts.Stations(system_clock::now(), LocalMidnight(system_clock::now()))[0]["ports"];
  for (const auto& c : cases) {
    const json* p = Find(ports, "port", c.port.port);
    ASSERT_NE(p, nullptr) << c.port.port;
    EXPECT_EQ((*p)["state"], c.state) << c.port.port;
    EXPECT_EQ((*p)["state_words"], c.words) << c.port.port;
  }
}

// ----------------------------------------------------------------------------------------------
// Rows

TEST_F(ServeTest, TodayTheLastHourAndTheHoursCountWhatTheRecordHolds) {
  Add("line-a", "/dev/ttyUSB0", "fw-1.bin", "completed", minutes(5));
  Add("line-a", "/dev/ttyUSB0", "fw-1.bin", "no-reply", minutes(10));
  Add("line-a", "/dev/ttyUSB1", "fw-2.bin", "completed", minutes(30));
  Add("line-b", "/dev/ttyUSB0", "fw-1.bin", "line-broke", minutes(50));
  Add("line-b", "/dev/ttyUSB0", "fw-1.bin", "refused", minutes(90));  // failed, but not in the last hour
  Add("line-b", "/dev/ttyUSB3", "fw-1.bin", "completed", hours(2));
  Add("line-b", "/dev/ttyUSB3", "fw-1.bin", "completed", hours(30));  // before today
  auto reader = Reader();
  CLineFacts facts(*reader);
  std::string error;
  ASSERT_TRUE(facts.Refresh(now, error)) << error;
  const auto today = now - hours(3);

  const json t = facts.Today(today);
  EXPECT_EQ(t["total"], 6);
  EXPECT_EQ(t["completed"], 3);
  EXPECT_EQ(t["failed"], 3);
  EXPECT_DOUBLE_EQ(t["yield"].get<double>(), 50.0);
  const struct {
    const char* list;
    const char* key;
    const char* name;
    int total, completed;
  } counts[] = {{"by_station", "station", "line-a", 3, 2},
                {"by_station", "station", "line-b", 3, 1},
                {"by_image", "image", "fw-1.bin", 5, 2},
                {"by_image", "image", "fw-2.bin", 1, 1}};
  for (const auto& c : counts) {
    const json* item = Find(t[c.list], c.key, c.name);
    ASSERT_NE(item, nullptr) << c.name;
    EXPECT_EQ((*item)["total"], c.total) << c.name;
    EXPECT_EQ((*item)["completed"], c.completed) << c.name;
  }
  EXPECT_EQ(t["by_port"].size(), 4u);

  const json f = facts.Failures(now);
  ASSERT_EQ(f.size(), 2u) << f.dump();
  EXPECT_EQ(f[0]["outcome"], "no-reply") << "newest first";
  EXPECT_EQ(f[0]["outcome_words"], "no reply from the handset");
  EXPECT_EQ(f[1]["outcome"], "line-broke");
  EXPECT_EQ(f[1]["outcome_words"], "the line broke");

  const json h = facts.Hours(now);
  ASSERT_EQ(h.size(), 24u);
  int64_t inChart = 0;
  for (const auto& hour : h)
    for (const auto& [outcome, n] : hour["outcomes"].items()) inChart += n.get<int64_t>();
  EXPECT_EQ(inChart, 6) << "the last 24 hours hold all but the row of 30 hours ago";
  EXPECT_EQ(h.back()["hour"], IsoUtc(time_point_cast<hours>(now)));

  const json latest = facts.Latest();
  ASSERT_EQ(latest.size(), 7u);
  EXPECT_EQ(latest[0]["outcome"], "completed");
  EXPECT_EQ(latest[0]["image"], "fw-1.bin");
  EXPECT_EQ(latest[1]["outcome"], "no-reply");
}

TEST_F(ServeTest, RowsAreReadOnceAsTheyArriveAndTheLatestKeepTheirNumber) {
  auto reader = Reader();
  CLineFacts facts(*reader);
  std::string error;
  int64_t expected = 0;
  for (int round = 1; round <= 3; ++round) {
    for (int i = 0; i < 10 * round; ++i) Add("line-a", "/dev/ttyUSB" + std::to_string(i % 4), "fw.bin", "completed", seconds(60 - i));
    expected += 10 * round;
    ASSERT_TRUE(facts.Refresh(now, error)) << error;
    EXPECT_EQ(facts.Today(now - hours(1))["total"], expected) << "round " << round;
    EXPECT_EQ(facts.Latest().size(), std::min<size_t>(expected, kLatestKept));
  }
  EXPECT_EQ(facts.LastId(), expected);
}

TEST_F(ServeTest, TheRowsStationAndUnitAreReadAndARowWithoutAStationGoesUnderItsHost) {
  Add("host-1", "/dev/ttyUSB0", "fw.bin", "completed", minutes(1));
  Add("host-1", "/dev/ttyUSB1", "fw.bin", "completed", minutes(2));
  // A row of an older record has no station of its own.
  Exec("UPDATE downloads SET station = 'line-a', unit = '<img src=x onerror=alert(1)>' WHERE device = '/dev/ttyUSB0';"
       "UPDATE downloads SET station = NULL, unit = NULL WHERE device = '/dev/ttyUSB1'");
  auto reader = Reader();
  std::vector<LineRow> rows;
  std::string error;
  ASSERT_TRUE(reader->RowsAfter(0, 10, rows, error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].station, "line-a");
  EXPECT_EQ(rows[0].unit, "<img src=x onerror=alert(1)>");
  EXPECT_EQ(rows[1].station, "host-1") << "no name of its own: the host's";
  EXPECT_EQ(rows[1].unit, "");
}

// ----------------------------------------------------------------------------------------------
// /metrics

TEST_F(ServeTest, MetricsFollowTheTextFormatAndMatchTheRecord) {
  // Device names hold what label values must escape.
  const std::vector<std::string> ports = {"/dev/ttyUSB0", "/dev/by-id/a\"quote", "/dev/back\\slash", "/dev/new\nline",
                                          "/dev/한글"};
  const std::vector<std::string> outcomes = {"completed", "completed", "no-reply", "line-broke", "completed"};
  const double elapsed[] = {5, 15, 16, 59, 61, 400, 2000, 90};
  int k = 0;
  for (const auto& station : {"line-a", "line-b"})
    for (const auto& port : ports)
      for (int i = 0; i < 5; ++i, ++k)
        Add(station, port, k % 3 ? "fw-1.bin" : "fw-2.bin", outcomes[(k + i) % outcomes.size()], hours(k % 60), elapsed[k % 8], k % 4);
  CLiveStatePublisher publisher(path, "line-a");
  publisher.Set({"/dev/ttyUSB0", true, "programming", 40.0, "", ""}, steady_clock::now());

  auto reader = Reader();
  CLineFacts facts(*reader);
  std::string error;
  ASSERT_TRUE(facts.Refresh(system_clock::now(), error)) << error;
  const std::string text = facts.Metrics(system_clock::now());
  PromText prom;
  ASSERT_TRUE(ParsePromText(text, prom, error)) << error << "\n" << text;
  EXPECT_EQ(prom.types["tarvisel_downloads_total"], "counter");
  EXPECT_EQ(prom.types["tarvisel_resends_total"], "counter");
  EXPECT_EQ(prom.types["tarvisel_download_duration_seconds"], "histogram");
  EXPECT_EQ(prom.types["tarvisel_ports_busy"], "gauge");
  EXPECT_EQ(prom.types["tarvisel_stations_online"], "gauge");

  // The record read another way: every row, by the history's own reader.
  const auto rows = db->Rows({}, error);
  ASSERT_TRUE(rows) << error;
  std::map<std::tuple<std::string, std::string, std::string, std::string>, double> downloads;
  std::map<std::pair<std::string, std::string>, double> resends;
  std::map<std::string, std::map<double, double>> under;  // station, le -> rows at or under
  for (const auto& r : *rows) {
    ++downloads[{r.host, r.device, ImageName(r.image), r.outcome}];
    resends[{r.host, r.device}] += static_cast<double>(r.resends.value_or(0));
    for (double le : kDurationBounds)
      if (*r.elapsedS <= le) ++under[r.host][le];
  }
  for (const auto& [key, n] : downloads) {
    const auto& [station, port, image, outcome] = key;
    EXPECT_EQ(prom.Sum("tarvisel_downloads_total", {{"station", station}, {"port", port}, {"image", image}, {"outcome", outcome}}), n)
        << station << " " << port << " " << image << " " << outcome;
  }
  EXPECT_EQ(prom.Sum("tarvisel_downloads_total"), static_cast<double>(rows->size()));
  for (const auto& [key, n] : resends)
    EXPECT_EQ(prom.Sum("tarvisel_resends_total", {{"station", key.first}, {"port", key.second}}), n);
  for (const auto& [station, les] : under) {
    for (double le : kDurationBounds) {
      std::ostringstream text;
      text << le;
      EXPECT_EQ(prom.Sum("tarvisel_download_duration_seconds_bucket", {{"station", station}, {"le", text.str()}}), les.count(le) ? les.at(le) : 0)
          << station << " le " << le;
    }
    EXPECT_EQ(prom.Sum("tarvisel_download_duration_seconds_count", {{"station", station}}), 25);
  }
  EXPECT_EQ(prom.Sum("tarvisel_stations_online"), 1);
  EXPECT_EQ(prom.Sum("tarvisel_ports_busy", {{"station", "line-a"}}), 1);
}

TEST(PromTextRules, BrokenTextsAreFound) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {"x_total 1\n", "no TYPE"},
      {"# TYPE x counter\nx{a=\"1} 1\n", "value not closed"},
      {"# TYPE x counter\nx{a=\"\\t\"} 1\n", "bad escape"},
      {"# TYPE x counter\nx{1a=\"b\"} 1\n", "bad label name"},
      {"# TYPE x counter\nx one\n", "bad value"},
      {"# TYPE x counter\nx -1\n", "counter below 0"},
      {"# TYPE x counter\nx 1\nx 2\n", "twice"},
      {"# TYPE x gauge\n# TYPE y gauge\nx 1\ny 1\nx{a=\"b\"} 1\n", "not together"},
      {"# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"2\"} 1\nh_bucket{le=\"+Inf\"} 2\nh_count 2\n",
       "not cumulative"},
      {"# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 3\nh_count 2\n", "not _count"},
      {"# TYPE x gauge\nx 1", "line feed"},
  };
  for (const auto& c : cases) {
    PromText prom;
    std::string error;
    EXPECT_FALSE(ParsePromText(c.text, prom, error)) << c.why;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.why << ": " << error;
  }
  PromText prom;
  std::string error;
  EXPECT_TRUE(ParsePromText("# HELP x A \\\\ help\\n.\n# TYPE x counter\nx{a=\"q\\\"\\n\\\\\"} 3 1700000000000\n", prom, error))
      << error;
  ASSERT_EQ(prom.samples.size(), 1u);
  EXPECT_EQ(prom.samples[0].labels["a"], "q\"\n\\");
}

// ----------------------------------------------------------------------------------------------
// The server

TEST(ListenAddress, TheFormsItTakes) {
  const struct {
    const char* text;
    bool ok;
    const char* host;
    int port;
  } cases[] = {{"127.0.0.1:8330", true, "127.0.0.1", 8330}, {":9000", true, "127.0.0.1", 9000},
               {"0.0.0.0:0", true, "0.0.0.0", 0},          {"[::1]:8080", true, "::1", 8080},
               {"localhost", false, "", 0},                 {"1.2.3.4:", false, "", 0},
               {"1.2.3.4:70000", false, "", 0},             {"1.2.3.4:80x", false, "", 0}};
  for (const auto& c : cases) {
    const auto a = ParseListenAddress(c.text);
    ASSERT_EQ(a.has_value(), c.ok) << c.text;
    if (!a) continue;
    EXPECT_EQ(a->host, c.host) << c.text;
    EXPECT_EQ(a->port, c.port) << c.text;
  }
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST_F(ServeTest, TheServerAnswersGetOnlyAndLeavesTheRecordAsItWas) {
  Add("line-a", "/dev/ttyUSB0", "fw.bin", "completed", minutes(1));
  Add("line-a", "/dev/ttyUSB0", "fw.bin", "no-reply", minutes(2));
  {
    CLiveStatePublisher publisher(path, "line-a");
    publisher.Set({"/dev/ttyUSB0", true, "erase", std::nullopt, "", ""}, steady_clock::now());
  }
  db.reset();
  std::string error;
  {  // every writer gone: the record's bytes are what any change would show in
    auto checkpoint = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
  }
  const std::string before = FileBytes(path);
  CLineServer server(Reader());
  ASSERT_TRUE(server.Load(error)) << error;
  const int port = server.Bind({"127.0.0.1", 0});
  ASSERT_GT(port, 0);
  std::thread runner([&] { server.Run(); });
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5);

  const auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
  for (const char* outside : {"http://", "https://", "//"})
    EXPECT_EQ(page->body.find(std::string("src=\"") + outside), std::string::npos) << outside;
  for (const char* part : {"/page.js", "/page.css"}) {
    const auto r = client.Get(part);
    ASSERT_TRUE(r) << part;
    EXPECT_EQ(r->status, 200) << part;
  }
  const auto line = client.Get("/api/line");
  ASSERT_TRUE(line);
  ASSERT_EQ(line->status, 200);
  const json data = json::parse(line->body);
  EXPECT_EQ(data["today"]["total"], 2);
  EXPECT_EQ(data["stations"][0]["station"], "line-a");
  for (const char* part : {"stations", "latest", "failures", "today", "hours"}) {
    const auto r = client.Get(std::string("/api/") + part);
    ASSERT_TRUE(r) << part;
    EXPECT_EQ(r->status, 200) << part;
    EXPECT_EQ(json::parse(r->body), data[part]) << part;
  }
  const auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  PromText prom;
  EXPECT_TRUE(ParsePromText(metrics->body, prom, error)) << error;
  EXPECT_EQ(prom.Sum("tarvisel_record_up"), 1);

  EXPECT_EQ(client.Get("/api/nothing")->status, 404);
  EXPECT_EQ(client.Get("/etc/passwd")->status, 404);
  EXPECT_EQ(client.Post("/api/line", "{}", "application/json")->status, 405);
  EXPECT_EQ(client.Delete("/metrics")->status, 405);
  EXPECT_EQ(client.Put("/", "x", "text/plain")->status, 405);
  server.Stop();
  runner.join();
  EXPECT_EQ(FileBytes(path), before) << "the record changed";
}

}  // namespace
