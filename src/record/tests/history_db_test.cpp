// The history database: rows as written come back, newest first and filtered; many processes
// appending at once lose none; files that are no history of ours are left alone.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "HistoryDb.h"
#include "HistorySchema.h"

namespace fs = std::filesystem;

namespace {

class HistoryDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-history-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/sub/history.sqlite";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::unique_ptr<CHistoryDb> Open(CHistoryDb::Access access = CHistoryDb::Access::Append) {
    std::string error;
    auto db = CHistoryDb::Open(path, access, error);
    EXPECT_TRUE(db) << error;
    return db;
  }
  std::vector<DownloadRecord> All(CHistoryDb& db, const HistoryFilter& filter = {}) {
    std::string error;
    auto rows = db.Rows(filter, error);
    EXPECT_TRUE(rows) << error;
    return rows.value_or(std::vector<DownloadRecord>{});
  }

  std::string dir, path;
};

DownloadRecord Row(const std::string& start, const std::string& device, const std::string& outcome) {
  DownloadRecord r;
  r.start = start;
  r.end = start;
  r.device = device;
  r.outcome = outcome;
  return r;
}

TEST_F(HistoryDbTest, ARowComesBackAsWrittenWithItsUnknownsUnknown) {
  DownloadRecord full;
  full.start = "2026-12-08T09:15:02.125Z";
  full.end = "2026-12-08T09:16:40.001Z";
  full.host = "line-3";
  full.device = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  full.tty = "/dev/ttyUSB0";
  full.serial = "A50285BI";
  full.byId = full.device;
  full.image = "fw, \"final\".bin";
  full.size = 1 << 20;
  full.sha256 = std::string(64, 'a');
  full.type = "normal";
  full.speed = 115200;
  full.phoneSw = "Ver02.03    KVH100A";
  full.imageVersion = "203";
  full.outcome = "completed";
  full.exit = 0;
  full.elapsedS = 97.875;
  full.resends = 3;
  full.toolVersion = "2.3";
  const DownloadRecord sparse = Row("2026-12-08T09:17:00.000Z", "/dev/ttyUSB1", "crashed");

  auto db = Open();
  ASSERT_TRUE(db);
  std::string error;
  ASSERT_TRUE(db->Append(full, error)) << error;
  ASSERT_TRUE(db->Append(sparse, error)) << error;
  const auto rows = All(*db);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], sparse);  // newer first
  EXPECT_EQ(rows[1], full);
  EXPECT_FALSE(rows[0].exit);
  EXPECT_FALSE(rows[0].resends);
}

TEST_F(HistoryDbTest, NewestFirstAndEachFilterAlone) {
  auto db = Open();
  ASSERT_TRUE(db);
  std::string error;
  std::vector<DownloadRecord> rows = {
      Row("2026-12-07T23:59:59.999Z", "/dev/ttyUSB0", "completed"),
      Row("2026-12-08T08:00:00.000Z", "/links/a", "no-reply"),
      Row("2026-12-08T08:00:00.000Z", "/links/b", "completed"),  // the same start: the later row first
      Row("2026-12-08T10:30:00.500Z", "/links/c", "line-broke"),
  };
  rows[1].tty = "/dev/pts/7";
  rows[3].byId = "/dev/serial/by-id/usb-X";
  for (const auto& r : rows) ASSERT_TRUE(db->Append(r, error)) << error;

  const struct {
    HistoryFilter filter;
    std::vector<std::string> devices;
  } cases[] = {
      {{}, {"/links/c", "/links/b", "/links/a", "/dev/ttyUSB0"}},
      {{"2026-12-08T08:00:00.000Z", "", ""}, {"/links/c", "/links/b", "/links/a"}},
      {{"2026-12-08T08:00:00.001Z", "", ""}, {"/links/c"}},
      {{"", "completed", ""}, {"/links/b", "/dev/ttyUSB0"}},
      {{"", "refused", ""}, {}},
      {{"", "", "/dev/pts/7"}, {"/links/a"}},  // by the tty it led to
      {{"", "", "/dev/serial/by-id/usb-X"}, {"/links/c"}},
      {{"", "", "/links/b"}, {"/links/b"}},
      {{"2026-12-08T00:00:00.000Z", "completed", "/links/b"}, {"/links/b"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const auto& r : All(*db, c.filter)) got.push_back(r.device);
    EXPECT_EQ(got, c.devices) << c.filter.since << " " << c.filter.outcome << " " << c.filter.device;
  }
}

// Each process appends its rows, one transaction each, all starting at the same moment.
TEST_F(HistoryDbTest, SixteenProcessesAppendingAtOnceLoseNoRow) {
  constexpr int kProcesses = 16, kRows = 20;
  {
    auto db = Open();  // the schema is there before they start, as a station's first handset makes it
    ASSERT_TRUE(db);
  }
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char c;
      (void)!read(gate[0], &c, 1);  // until the parent closes its end
      std::string error;
      auto db = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
      if (!db) _exit(2);
      for (int i = 0; i < kRows; ++i)
        if (!db->Append(Row("2026-12-08T09:00:00.000Z", "p" + std::to_string(p) + "-" + std::to_string(i), "completed"),
                        error))
          _exit(3);
      _exit(0);
    }
    pids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  auto db = Open(CHistoryDb::Access::Read);
  ASSERT_TRUE(db);
  std::set<std::string> devices;
  for (const auto& r : All(*db)) devices.insert(r.device);
  EXPECT_EQ(devices.size(), static_cast<size_t>(kProcesses * kRows));
}

// A station's first rows on a record that is not there yet: every process finds the file
// half-made by another (no schema, the schema but not WAL yet, WAL), while others holding the
// write lock are killed or told to end. Each writer's row is there. Many rounds, for the
// moment between another's statements to come up.
TEST_F(HistoryDbTest, SixteenFirstWritersOnANewRecordLoseNoRowWhileOthersAreKilled) {
  constexpr int kRounds = 16, kWriters = 16, kVictims = 4;
  for (int round = 0; round < kRounds; ++round) {
    path = dir + "/round" + std::to_string(round) + "/history.sqlite";
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> writers, victims;
    for (int p = 0; p < kWriters + kVictims; ++p) {
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(gate[1]);
        char c;
        (void)!read(gate[0], &c, 1);
        std::string error;
        if (p >= kWriters) {
          // Appends until it is ended, whenever that is.
          for (int i = 0;; ++i) {
            auto db = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
            if (db) db->Append(Row("2026-12-08T08:00:00.000Z", "victim" + std::to_string(i), "crashed"), error);
          }
        }
        auto db = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
        if (!db) {
          std::fprintf(stderr, "open: %s\n", error.c_str());
          _exit(2);
        }
        if (!db->Append(Row("2026-12-08T09:00:00.000Z", "w" + std::to_string(p), "completed"), error)) {
          std::fprintf(stderr, "append: %s\n", error.c_str());
          _exit(3);
        }
        _exit(0);
      }
      (p < kWriters ? writers : victims).push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 8)));
    for (size_t v = 0; v < victims.size(); ++v) kill(victims[v], v % 2 ? SIGKILL : SIGTERM);
    for (pid_t pid : victims) waitpid(pid, nullptr, 0);
    for (pid_t pid : writers) {
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ": status " << status;
    }
    auto db = Open(CHistoryDb::Access::Read);
    ASSERT_TRUE(db);
    std::set<std::string> devices;
    for (const auto& r : All(*db))
      if (r.device[0] == 'w') devices.insert(r.device);
    ASSERT_EQ(devices.size(), static_cast<size_t>(kWriters)) << "round " << round;
  }
}

TEST_F(HistoryDbTest, ANewFileInANewFolderTakesWalModeAndTheCurrentSchema) {
  ASSERT_TRUE(Open());
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  auto pragma = [&](const char* sql) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db.get(), sql, -1, &s, nullptr), SQLITE_OK);
    std::string value;
    if (sqlite3_step(s) == SQLITE_ROW) value = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return value;
  };
  EXPECT_EQ(pragma("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(pragma("PRAGMA user_version"), std::to_string(kHistorySchemaVersion));
  EXPECT_EQ(pragma("PRAGMA application_id"), std::to_string(kHistoryApplicationId));
}

// Written with sqlite3 directly: what another program, or a damaged disk, leaves.
void Sql(const std::string& path, const char* sql) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(raw);
}

TEST_F(HistoryDbTest, FilesThatAreNoHistoryOfOursAreLeftAsTheyAre) {
  fs::create_directories(dir + "/sub");
  const struct {
    std::string name;
    std::function<void()> make;
    std::string says;
  } cases[] = {
      {"garbage", [&] { std::ofstream(path) << std::string(8192, 'x'); }, "not a database"},
      {"another program's", [&] { Sql(path, "CREATE TABLE songs (title TEXT); INSERT INTO songs VALUES ('a')"); },
       "other tables"},
      {"another program's mark", [&] { Sql(path, "PRAGMA application_id = 7"); }, "another program"},
      {"newer",
       [&] {
         const std::string sql =
             "PRAGMA application_id = " + std::to_string(kHistoryApplicationId) + "; PRAGMA user_version = 99";
         Sql(path, sql.c_str());
       },
       "newer"},
      {"short", [&] { std::ofstream(path) << "x"; }, "not a database"},
      {"a folder", [&] { fs::create_directories(path); }, ""},
  };
  for (const auto& c : cases) {
    std::error_code ec;
    fs::remove_all(path, ec);
    c.make();
    const auto before = fs::is_regular_file(path) ? fs::file_size(path) : 0;
    for (auto access : {CHistoryDb::Access::Append, CHistoryDb::Access::Read}) {
      std::string error;
      EXPECT_FALSE(CHistoryDb::Open(path, access, error)) << c.name;
      EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
      EXPECT_FALSE(error.empty()) << c.name;
    }
    if (fs::is_regular_file(path)) {
      EXPECT_EQ(fs::file_size(path), before) << c.name;
    }
  }
}

// A database the first schema made, with a row in it, as an older tarvisel left it.
TEST_F(HistoryDbTest, AnOlderDatabaseIsUpgradedInPlaceAndKeepsItsRows) {
  fs::create_directories(dir + "/sub");
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    std::string error;
    ASSERT_TRUE(UpgradeHistorySchema(db.get(), 1, error)) << error;
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db.get(),
                           "INSERT INTO downloads (start, \"end\", device, outcome, exit) "
                           "VALUES ('2026-01-01T00:00:00.000Z', '2026-01-01T00:01:00.000Z', '/dev/ttyUSB0', 'completed', 0)",
                           nullptr, nullptr, &message),
              SQLITE_OK)
        << (message ? message : "");
  }
  auto version = [&] {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db.get(), "PRAGMA user_version", -1, &s, nullptr);
    const int v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : -1;
    sqlite3_finalize(s);
    return v;
  };
  ASSERT_EQ(version(), 1);
  {
    // Reading takes it as it is, even where it could be written.
    auto db = Open(CHistoryDb::Access::Read);
    ASSERT_TRUE(db);
    EXPECT_EQ(All(*db).size(), 1u);
  }
  EXPECT_EQ(version(), 1);
  auto db = Open();
  ASSERT_TRUE(db);
  EXPECT_EQ(version(), kHistorySchemaVersion);
  std::string error;
  ASSERT_TRUE(db->Append(Row("2026-12-08T09:00:00.000Z", "/dev/ttyUSB1", "no-reply"), error)) << error;
  const auto rows = All(*db);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].device, "/dev/ttyUSB0");
  EXPECT_EQ(rows[1].exit, 0);
  EXPECT_EQ(rows[0].outcome, "no-reply");
}

TEST_F(HistoryDbTest, ReadingAFileThatIsNotThereCreatesNothing) {
  std::string error;
  EXPECT_FALSE(CHistoryDb::Open(path, CHistoryDb::Access::Read, error));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(dir + "/sub"));
}

// Root writes any file: the ordinary-user pass of the tests runs this one.
TEST_F(HistoryDbTest, AReadOnlyFileIsReadButNotWrittenPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
  {
    auto db = Open();
    ASSERT_TRUE(db);
    std::string error;
    ASSERT_TRUE(db->Append(Row("2026-12-08T09:00:00.000Z", "/dev/ttyUSB0", "completed"), error)) << error;
  }
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::string error;
  auto db = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
  if (db) {
    EXPECT_FALSE(db->Append(Row("2026-12-08T10:00:00.000Z", "/dev/ttyUSB1", "completed"), error));
  }
  EXPECT_FALSE(error.empty());
  auto reader = Open(CHistoryDb::Access::Read);
  ASSERT_TRUE(reader);
  EXPECT_EQ(All(*reader).size(), 1u);
}

// A record made by a station and closed: one row, the WAL's side files gone with the last writer.
void MakeRecordOfOneRow(const std::string& path) {
  std::string error;
  auto db = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
  ASSERT_TRUE(db) << error;
  ASSERT_TRUE(db->Append(Row("2026-12-08T09:00:00.000Z", "/dev/ttyUSB0", "completed"), error)) << error;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Reading leaves the folder as it found it: an empty file stays empty (no rows), an older
// layout keeps its version (checked above), a record is read without a file made beside it.
TEST_F(HistoryDbTest, ReadingWritesAndCreatesNothing) {
  fs::create_directories(dir + "/sub");
  std::ofstream(path).close();
  {
    auto db = Open(CHistoryDb::Access::Read);
    ASSERT_TRUE(db);
    EXPECT_TRUE(All(*db).empty());
  }
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_EQ(FolderNames(dir + "/sub"), std::vector<std::string>{"history.sqlite"});
  fs::remove(path);
  MakeRecordOfOneRow(path);
  const auto before = FolderNames(dir + "/sub");
  {
    auto db = Open(CHistoryDb::Access::Read);
    ASSERT_TRUE(db);
    EXPECT_EQ(All(*db).size(), 1u);
  }
  EXPECT_EQ(FolderNames(dir + "/sub"), before);
}

// A user who may read the record but not write it or its folder (root may write anything: the
// ordinary-user pass runs this one).
TEST_F(HistoryDbTest, AFolderItMayOnlyReadIsReadPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
  MakeRecordOfOneRow(path);
  fs::permissions(path, fs::perms::owner_read);
  fs::permissions(dir + "/sub", fs::perms::owner_read | fs::perms::owner_exec);
  std::string error;
  auto db = CHistoryDb::Open(path, CHistoryDb::Access::Read, error);
  const auto rows = db ? db->Rows({}, error) : std::nullopt;
  fs::permissions(dir + "/sub", fs::perms::owner_all);
  ASSERT_TRUE(rows) << error;
  EXPECT_EQ(rows->size(), 1u);
  EXPECT_EQ(FolderNames(dir + "/sub"), std::vector<std::string>{"history.sqlite"});
}

// The record on a read-only file system: a read-only bind mount in a mount namespace of its own
// (root's, or an ordinary user's own user namespace where the system allows one).
TEST_F(HistoryDbTest, ARecordOnAReadOnlyFileSystemIsRead) {
  const std::string folder = dir + "/sub";
  MakeRecordOfOneRow(path);
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(report[0]);
    auto say = [&](const std::string& text, int code) {
      (void)!write(report[1], text.data(), text.size());
      _exit(code);
    };
    constexpr int kCannot = 77;
    if (uid != 0) {
      if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) say(std::string("unshare: ") + std::strerror(errno), kCannot);
      auto put = [&](const char* file, const std::string& text) {
        std::ofstream f(file);
        f << text;
        f.close();
        if (!f) say(std::string("cannot write ") + file, kCannot);
      };
      put("/proc/self/setgroups", "deny");
      put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
      put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    } else if (unshare(CLONE_NEWNS) != 0) {
      say(std::string("unshare: ") + std::strerror(errno), kCannot);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      say(std::string("mount: ") + std::strerror(errno), kCannot);
    if (::access(folder.c_str(), W_OK) == 0 || errno != EROFS) say("the mount is not read-only", kCannot);
    std::string error;
    auto db = CHistoryDb::Open(path, CHistoryDb::Access::Read, error);
    const auto rows = db ? db->Rows({}, error) : std::nullopt;
    if (!rows) say("read: " + error, 1);
    if (rows->size() != 1) say(std::to_string(rows->size()) + " rows", 1);
    if (CHistoryDb::Open(path, CHistoryDb::Access::Append, error)) say("appending was allowed", 1);
    _exit(0);
  }
  close(report[1]);
  std::string said;
  char buffer[256];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) said.append(buffer, static_cast<size_t>(n));
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no read-only mount to be had here: " << said;
  EXPECT_EQ(WEXITSTATUS(status), 0) << said;
}

}  // namespace
