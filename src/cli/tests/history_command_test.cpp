// `tarvisel-cli history`: the rows newest first in each form, forms that parse back to the
// rows, the filters, and the summary on standard error.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "HistoryDb.h"
#include "HistoryFormat.h"
#include "Subprocess.h"
#include "TestPrograms.h"

namespace fs = std::filesystem;

namespace {

// RFC 4180: records of fields, quoted fields may hold commas, quotes (doubled) and line breaks.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> records(1);
  std::string field;
  bool quoted = false, wasQuoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += '"', ++i;
      else if (c == '"') quoted = false;
      else field += c;
    } else if (c == '"' && field.empty() && !wasQuoted) {
      quoted = wasQuoted = true;
    } else if (c == ',') {
      records.back().push_back(field);
      field.clear();
      wasQuoted = false;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      records.back().push_back(field);
      field.clear();
      wasQuoted = false;
      records.emplace_back();
      ++i;
    } else {
      field += c;
    }
  }
  if (records.back().empty() && field.empty()) records.pop_back();
  return records;
}

class HistoryCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-history-cmd-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    db = dir + "/history.sqlite";
    DownloadRecord a;
    a.start = "2026-12-08T08:00:00.000Z";
    a.end = "2026-12-08T08:01:40.500Z";
    a.host = "line-3";
    a.device = "/links/usb-A,\"quoted\"\nport";  // every character CSV must quote
    a.tty = "/dev/ttyUSB0";
    a.image = "/srv/fw/펌웨어.bin";
    a.size = 1048576;
    a.sha256 = std::string(64, 'f');
    a.type = "normal";
    a.speed = 115200;
    a.phoneSw = "Ver02.03    KVH100A";
    a.imageVersion = "203";
    a.outcome = "completed";
    a.exit = 0;
    a.elapsedS = 100.5;
    a.resends = 0;
    a.toolVersion = "2.3";
    a.unit = "SN-A\x1b[2J";  // what a terminal would take for a command
    a.station = "line-3";
    DownloadRecord b;
    b.unit = "SN-B";  // flashed twice (b and c)
    b.station = "line-4";
    b.start = "2026-12-08T09:30:00.000Z";
    b.end = "2026-12-08T09:30:12.000Z";
    b.device = "/links/usb-B";
    b.outcome = "no-reply";
    b.exit = 1;
    DownloadRecord c = b;
    c.start = "2026-12-08T10:00:00.000Z";
    c.device = "/links/usb-C";
    c.outcome = "line-broke";
    c.exit = 5;
    DownloadRecord d = b;
    d.start = "2026-12-07T10:00:00.000Z";
    d.device = "/links/usb-A2";
    d.outcome = "completed";
    d.exit = 0;
    d.unit.clear();
    rows = {c, b, a, d};  // newest first
    std::string error;
    auto h = CHistoryDb::Open(db, CHistoryDb::Access::Append, error);
    ASSERT_TRUE(h) << error;
    for (const auto& r : {a, b, c, d}) ASSERT_TRUE(h->Append(r, error)) << error;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  ProcessResult History(std::vector<std::string> args) {
    args.insert(args.begin(), {CliProgram(), "history", "--history", db});
    return RunProgram(args, dir, "history");
  }

  std::string dir, db;
  std::vector<DownloadRecord> rows;
};

TEST_F(HistoryCommand, JsonLinesWithTheKeysListedAndNullForTheUnknown) {
  const ProcessResult r = History({"--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::vector<nlohmann::ordered_json> objects;
  for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::ordered_json::parse(line));
  ASSERT_EQ(objects.size(), rows.size());
  const std::vector<std::string> keys = {"start", "end", "host", "device", "tty", "serial", "by_id", "image", "size",
                                         "sha256", "type", "speed", "phone_sw", "image_version", "outcome", "exit",
                                         "elapsed_s", "resends", "tool_version", "uuid", "station", "unit",
                                         "received", "clock_skew_s"};
  for (size_t i = 0; i < objects.size(); ++i) {
    std::vector<std::string> got;
    for (const auto& [key, value] : objects[i].items()) got.push_back(key);
    EXPECT_EQ(got, keys);
    EXPECT_EQ(objects[i]["device"], rows[i].device);
    EXPECT_EQ(objects[i]["start"], rows[i].start);
    EXPECT_EQ(objects[i]["exit"], rows[i].exit.value());
  }
  const auto& a = objects[2];
  EXPECT_EQ(a["image"], "/srv/fw/펌웨어.bin");
  EXPECT_EQ(a["size"], 1048576);
  EXPECT_EQ(a["speed"], 115200);
  EXPECT_EQ(a["elapsed_s"], 100.5);
  EXPECT_EQ(a["resends"], 0);
  EXPECT_TRUE(a["serial"].is_null());
  EXPECT_TRUE(objects[0]["size"].is_null());
  EXPECT_TRUE(objects[0]["resends"].is_null());
  EXPECT_EQ(r.err, "history: 4 downloads: 2 completed, 2 failed (1 line-broke, 1 no-reply)\n");
}

TEST_F(HistoryCommand, CsvWithAHeaderLineParsesBackToTheRows) {
  const ProcessResult r = History({"--csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto records = ParseCsv(r.out);
  ASSERT_EQ(records.size(), rows.size() + 1) << r.out;
  EXPECT_EQ(records[0], kHistoryKeys);
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(records[i + 1], RecordFields(rows[i])) << i;
  EXPECT_EQ(records[3][3], "/links/usb-A,\"quoted\"\nport");
  EXPECT_EQ(records[3][16], "100.5");
  EXPECT_EQ(records[1][8], "") << "an unknown size is an empty field";
}

TEST_F(HistoryCommand, FiltersChooseTheRowsAndTheSummaryCountsThem) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> devices;
    std::string summary;
  } cases[] = {
      {{"--outcome", "completed"}, {"/links/usb-A,\"quoted\"\nport", "/links/usb-A2"}, "2 downloads: 2 completed, 0 failed"},
      {{"--since", "2026-12-08T09:00Z"}, {"/links/usb-C", "/links/usb-B"}, "2 downloads: 0 completed, 2 failed (1 line-broke, 1 no-reply)"},
      {{"--device", "/dev/ttyUSB0"}, {"/links/usb-A,\"quoted\"\nport"}, "1 download: 1 completed, 0 failed"},
      {{"--device", "/links/usb-B", "--outcome", "completed"}, {}, "0 downloads: 0 completed, 0 failed"},
      {{"--unit", "SN-B"}, {"/links/usb-C", "/links/usb-B"}, "2 downloads: 0 completed, 2 failed (1 line-broke, 1 no-reply)"},
      {{"--station", "line-3"}, {"/links/usb-A,\"quoted\"\nport"}, "1 download: 1 completed, 0 failed"},
      {{"--station", "line-4", "--unit", "SN-A\x1b[2J"}, {}, "0 downloads: 0 completed, 0 failed"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const ProcessResult r = History(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> devices;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) devices.push_back(nlohmann::json::parse(line)["device"]);
    EXPECT_EQ(devices, c.devices) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.err, "history: " + c.summary + "\n") << ::testing::PrintToString(c.args);
  }
}

TEST_F(HistoryCommand, TheTableForPeopleNewestFirst) {
  const ProcessResult r = History({});
  ASSERT_EQ(r.status, 0) << r.err;
  const size_t header = r.out.find("start (local time)");
  const size_t c = r.out.find("/links/usb-C  ");
  const size_t b = r.out.find("/links/usb-B  ");
  ASSERT_EQ(header, 0u) << r.out;
  ASSERT_NE(c, std::string::npos) << r.out;
  EXPECT_LT(c, b);
  EXPECT_NE(r.out.find("line-broke (exit 5)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1:41  Ver02.03    KVH100A  /srv/fw/펌웨어.bin"), std::string::npos) << r.out;
  // A unit's and a device's control characters are shown, never sent to the terminal; a unit
  // flashed twice is on both rows, and a row without one says so.
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("SN-A\\x1b[2J"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/links/usb-A,\"quoted\"\\x0aport"), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("/links/usb-A2 +- +completed"))) << r.out;
}

TEST_F(HistoryCommand, NoRecordYetACorruptOneAndWrongFilters) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"--history", dir + "/none.sqlite"}, 0, "no downloads recorded"},
      {{"--history", dir + "/corrupt.sqlite"}, 1, "cannot read " + dir + "/corrupt.sqlite"},
      {{"--since", "last week"}, 2, "--since"},
      {{"--outcome", "fine"}, 2, "--outcome"},
      {{"--csv", "--json"}, 2, "excludes"},
      {{"--no-history"}, 2, "--no-history"},
  };
  std::ofstream(dir + "/corrupt.sqlite") << std::string(4096, 'z');
  for (const auto& c : cases) {
    std::vector<std::string> args = {CliProgram(), "history"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (std::find(c.args.begin(), c.args.end(), "--history") == c.args.end()) args.insert(args.end(), {"--history", db});
    const ProcessResult r = RunProgram(args, dir, "history");
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(fs::exists(dir + "/none.sqlite")) << "reading makes no record";
}

// A handset's texts and a link's name may hold escape sequences: the table shows them, the
// terminal does not obey them; JSON keeps the value; CSV keeps it too, but for a cell a
// spreadsheet would take for a formula.
TEST_F(HistoryCommand, HandsetTextIsShownEscapedOnTheTableKeptInJsonAndCsvNeutralisedForSpreadsheets) {
  DownloadRecord e;
  e.start = "2026-12-08T11:00:00.000Z";
  e.end = "2026-12-08T11:00:10.000Z";
  e.device = "=/links/usb-\x1b]0;owned\x07";
  e.phoneSw = "\x1b[2J\x1b[31mVer\r\n\xc2\x9b" "31m";
  e.type = "+normal";
  e.image = "@/srv/fw.bin";
  e.imageVersion = "-5";
  e.host = "-2+3";
  e.outcome = "no-reply";
  e.exit = 1;
  std::string error;
  auto h = CHistoryDb::Open(db, CHistoryDb::Access::Append, error);
  ASSERT_TRUE(h) << error;
  ASSERT_TRUE(h->Append(e, error)) << error;
  h.reset();

  const ProcessResult table = History({});
  ASSERT_EQ(table.status, 0) << table.err;
  for (char c : table.out) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n') << int(c);
  EXPECT_EQ(table.out.find("\xc2\x9b"), std::string::npos);
  EXPECT_NE(table.out.find(R"(=/links/usb-\x1b]0;owned\x07)"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find(R"(\x1b[2J\x1b[31mVer\x0d\x0a\u009b31m)"), std::string::npos) << table.out;

  const ProcessResult json = History({"--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  const auto first = nlohmann::json::parse(json.out.substr(0, json.out.find('\n')));
  EXPECT_EQ(first["phone_sw"], e.phoneSw);
  EXPECT_EQ(first["device"], e.device);

  const ProcessResult csv = History({"--csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  const auto records = ParseCsv(csv.out);
  ASSERT_GE(records.size(), 2u);
  std::map<std::string, std::string> got;
  for (size_t i = 0; i < kHistoryKeys.size(); ++i) got[kHistoryKeys[i]] = records[1][i];
  EXPECT_EQ(got["device"], "'" + e.device);
  EXPECT_EQ(got["type"], "'+normal");
  EXPECT_EQ(got["image"], "'@/srv/fw.bin");
  EXPECT_EQ(got["host"], "'-2+3");
  EXPECT_EQ(got["phone_sw"], e.phoneSw) << "no formula: kept as it is";
  EXPECT_EQ(got["image_version"], "-5") << "a number stays a number";
  EXPECT_EQ(got["exit"], "1");
}

// A port that did not open and an image refused are the station's set-up, not the handsets'
// failures; a question answered No is the technician's stop.
TEST_F(HistoryCommand, TheSummaryCountsTheHandsetsApartFromTheStationsSetUpErrors) {
  std::string error;
  auto h = CHistoryDb::Open(db, CHistoryDb::Access::Append, error);
  ASSERT_TRUE(h) << error;
  int minute = 0;
  for (const char* outcome : {"port", "port", "refused", "declined", "stopped", "crashed"}) {
    DownloadRecord r;
    r.start = r.end = "2026-12-09T08:0" + std::to_string(minute++) + ":00.000Z";
    r.device = "/links/usb-X";
    r.outcome = outcome;
    ASSERT_TRUE(h->Append(r, error)) << error;
  }
  h.reset();
  const struct {
    std::vector<std::string> args;
    std::string summary;
  } cases[] = {
      {{}, "7 downloads: 2 completed, 3 failed (1 crashed, 1 line-broke, 1 no-reply), 2 stopped (1 declined, 1 stopped); "
           "3 set-up errors, nothing sent (2 port, 1 refused)"},
      {{"--outcome", "refused"}, "0 downloads: 0 completed, 0 failed; 1 set-up error, nothing sent (1 refused)"},
      {{"--outcome", "no-reply"}, "1 download: 0 completed, 1 failed (1 no-reply)"},
  };
  for (const auto& c : cases) {
    auto args = c.args;
    args.push_back("--json");
    const ProcessResult r = History(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "history: " + c.summary + "\n") << ::testing::PrintToString(c.args);
  }
}

// A user who may read the record but not write it or its folder (root writes anything: the
// ordinary-user pass runs this one). Reading leaves the folder as it was.
TEST_F(HistoryCommand, ARecordItMayOnlyReadIsListedPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
  const std::string folder = dir + "/ro";
  fs::create_directories(folder);
  fs::rename(db, folder + "/history.sqlite");
  db = folder + "/history.sqlite";
  fs::permissions(db, fs::perms::owner_read);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  const ProcessResult r = History({"--json"});
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  fs::permissions(folder, fs::perms::owner_all);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
  EXPECT_EQ(r.err, "history: 4 downloads: 2 completed, 2 failed (1 line-broke, 1 no-reply)\n");
  EXPECT_EQ(names, std::vector<std::string>{"history.sqlite"});
}

}  // namespace
