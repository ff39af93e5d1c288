#include "HistoryDb.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "HistorySchema.h"
#include "Sqlite.h"

namespace {

// The columns in the order of DownloadRecord, for the insert and the query alike.
constexpr const char* kColumns =
    "start, \"end\", host, device, tty, serial, by_id, image, size, sha256, type, speed, phone_sw, "
    "image_version, outcome, exit, elapsed_s, resends, tool_version, uuid, station, unit";

SqliteDb OpenFile(const std::string& path, int flags, std::string& error) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  SqliteDb db(raw);
  if (rc != SQLITE_OK) {
    error = SqliteError(db.get());
    return nullptr;
  }
  sqlite3_extended_result_codes(db.get(), 1);
  sqlite3_busy_timeout(db.get(), CHistoryDb::kBusyTimeoutMs);
  return db;
}

// Every process that appends uses WAL, so that readers never stop writers; the first one to
// open the file switches it and the mode stays with the file. The switch wants the file to
// itself and SQLite answers it busy at once rather than calling the busy handler: wait here.
bool UseWal(sqlite3* db, std::string& error) {
  const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(CHistoryDb::kBusyTimeoutMs);
  for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
    SqliteStatement statement = SqlitePrepare(db, "PRAGMA journal_mode = WAL", error);
    if (!statement) return false;
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_ROW) return true;
    if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) return error = SqliteError(db), false;
    if (std::chrono::steady_clock::now() >= giveUpAt) return error = SqliteError(db), false;
    statement.reset();
    std::this_thread::sleep_for(pause);
  }
}

// SQLite takes a file too short for its header for an empty database and writes over it.
bool LooksLikeDatabase(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;  // not there yet, or not readable: the open says so
  char head[16] = {};
  in.read(head, sizeof head);
  return in.gcount() == 0 || (in.gcount() == sizeof head && std::memcmp(head, "SQLite format 3", 16) == 0);
}

struct Marks {
  int64_t application = 0, version = 0, tables = 0;
};

// The file's marks in one statement, so one read transaction: another process that creates the
// schema meanwhile is seen before or after, never half-way.
std::optional<Marks> ReadMarks(sqlite3* db, std::string& error) {
  SqliteStatement statement = SqlitePrepare(
      db,
      "SELECT (SELECT application_id FROM pragma_application_id), (SELECT user_version FROM pragma_user_version), "
      "(SELECT count(*) FROM sqlite_schema)",
      error);
  if (!statement) return std::nullopt;
  if (sqlite3_step(statement.get()) != SQLITE_ROW) return error = SqliteError(db), std::nullopt;
  return Marks{sqlite3_column_int64(statement.get(), 0), sqlite3_column_int64(statement.get(), 1),
               sqlite3_column_int64(statement.get(), 2)};
}

// Before anything is written to the file: another program's database, or one of a newer
// tarvisel, is left exactly as it is.
bool IsOurs(const Marks& marks, std::string& error) {
  if (marks.application != 0 && marks.application != kHistoryApplicationId)
    return error = "not a tarvisel history (another program's database)", false;
  if (marks.version > kHistorySchemaVersion)
    return error = "written by a newer tarvisel (schema " + std::to_string(marks.version) + ")", false;
  if (marks.version > 0) return true;
  return marks.tables == 0 || (error = "not a tarvisel history (it holds other tables)", false);
}

// A URI for the file as it is: for a reader that cannot make the WAL index beside it (a
// folder it may not write, a read-only file system), where no one can be writing it either.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  std::error_code ec;
  std::string absolute = std::filesystem::absolute(path, ec).string();
  if (ec) absolute = path;
  for (unsigned char c : absolute) {
    if (std::isalnum(c) || std::strchr("/-._~", c)) uri += static_cast<char>(c);
    else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      uri += hex;
    }
  }
  return uri + "?immutable=1";
}

bool HasWalFiles(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path + "-wal", ec) || std::filesystem::exists(path + "-shm", ec);
}

// A read-only connection to a WAL file makes the WAL and its index beside it where it can, and
// cannot remove them when it goes: where no connection had them before, a connection that may
// write takes them away once the reader is gone (SQLite does so as the last connection closes,
// and only then, so a writer that started meanwhile keeps its own).
void TidyAfterReading(const std::string& path) {
  if (!HasWalFiles(path)) return;
  std::string ignored;
  SqliteDb db = OpenFile(path, SQLITE_OPEN_READWRITE, ignored);
  if (db) SqliteInt(db.get(), "SELECT count(*) FROM sqlite_schema", ignored);
}

}  // namespace

struct CHistoryDb::Handle {
  SqliteDb db;
  bool empty = false;  // read: a file with no schema yet holds no rows
  int64_t version = 0; // read: the layout as found (older ones are read as they are)
  std::string tidy;    // read: the path whose WAL files this connection made
  ~Handle() {
    db.reset();
    if (!tidy.empty()) TidyAfterReading(tidy);
  }
};

CHistoryDb::CHistoryDb(std::unique_ptr<Handle> handle) : m_handle(std::move(handle)) {}
CHistoryDb::~CHistoryDb() = default;

std::unique_ptr<CHistoryDb> CHistoryDb::Open(const std::string& path, Access access, std::string& error) {
  std::error_code ec;
  if (access == Access::Read && !std::filesystem::exists(path, ec)) {
    error = "no such file";
    return nullptr;
  }
  if (access == Access::Append) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  }
  if (std::filesystem::is_regular_file(path, ec) && !LooksLikeDatabase(path)) {
    error = "file is not a database";
    return nullptr;
  }
  if (access == Access::Append) {
    SqliteDb db = OpenFile(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    const auto marks = db ? ReadMarks(db.get(), error) : std::nullopt;
    if (marks && IsOurs(*marks, error) && UseWal(db.get(), error) &&
        UpgradeHistorySchema(db.get(), kHistorySchemaVersion, error))
    {
      auto handle = std::make_unique<Handle>();
      handle->db = std::move(db);
      return std::unique_ptr<CHistoryDb>(new CHistoryDb(std::move(handle)));
    }
    return nullptr;
  }
  // Reading writes nothing: no schema, no upgrade (the older layouts read as they are), no file.
  bool refused = false;  // the file was read and is no history of ours
  const bool walFilesBefore = HasWalFiles(path);
  auto reader = [&](const std::string& name, int flags) -> std::unique_ptr<CHistoryDb> {
    SqliteDb db = OpenFile(name, SQLITE_OPEN_READONLY | flags, error);
    if (!db) return nullptr;
    const auto marks = ReadMarks(db.get(), error);
    if (!marks) return nullptr;
    refused = !IsOurs(*marks, error);
    if (refused) return nullptr;
    auto handle = std::make_unique<Handle>();
    handle->db = std::move(db);
    handle->empty = marks->version == 0 && marks->tables == 0;
    handle->version = marks->version;
    if (!walFilesBefore && !(flags & SQLITE_OPEN_URI)) handle->tidy = path;
    return std::unique_ptr<CHistoryDb>(new CHistoryDb(std::move(handle)));
  };
  if (auto db = reader(path, 0)) return db;
  if (refused) return nullptr;
  // A WAL file whose index this user cannot make beside it (a folder it may only read, a
  // read-only file system): no one is writing it either, so it is read as it stands.
  const std::string first = error;
  if (auto db = reader(ImmutableUri(path), SQLITE_OPEN_URI)) return db;
  if (!refused) error = first;
  return nullptr;
}

bool CHistoryDb::Append(const DownloadRecord& r, std::string& error) {
  sqlite3* db = m_handle->db.get();
  const std::string sql = std::string("INSERT INTO downloads (") + kColumns +
                          ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
  SqliteStatement insert = SqlitePrepare(db, sql.c_str(), error);
  if (!insert) return false;
  sqlite3_stmt* s = insert.get();
  int i = 0;
  for (const std::string* text : {&r.start, &r.end, &r.host, &r.device, &r.tty, &r.serial, &r.byId, &r.image})
    BindText(s, ++i, *text);
  BindInt(s, ++i, r.size);
  BindText(s, ++i, r.sha256);
  BindText(s, ++i, r.type);
  BindInt(s, ++i, r.speed);
  BindText(s, ++i, r.phoneSw);
  BindText(s, ++i, r.imageVersion);
  BindText(s, ++i, r.outcome);
  BindInt(s, ++i, r.exit);
  BindReal(s, ++i, r.elapsedS);
  BindInt(s, ++i, r.resends);
  BindText(s, ++i, r.toolVersion);
  for (const std::string* text : {&r.uuid, &r.station, &r.unit}) BindText(s, ++i, *text);
  // The write lock is taken at the start, where the busy time-out applies, not half-way.
  if (!SqliteExec(db, "BEGIN IMMEDIATE", error)) return false;
  if (sqlite3_step(s) != SQLITE_DONE) {
    error = SqliteError(db);
    std::string ignored;
    SqliteExec(db, "ROLLBACK", ignored);
    return false;
  }
  if (SqliteExec(db, "COMMIT", error)) return true;
  std::string ignored;
  SqliteExec(db, "ROLLBACK", ignored);
  return false;
}

std::optional<std::vector<DownloadRecord>> CHistoryDb::Rows(const HistoryFilter& f, std::string& error) {
  if (m_handle->empty) return std::vector<DownloadRecord>{};
  sqlite3* db = m_handle->db.get();
  // A layout from before the unit and the station: its rows have none, and go under their host.
  const char* table = m_handle->version > 0 && m_handle->version < 3
                          ? "(SELECT *, NULL AS uuid, host AS station, NULL AS unit FROM downloads)"
                          : "downloads";
  const std::string sql = std::string("SELECT ") + kColumns + " FROM " + table +
                          " WHERE (?1 IS NULL OR start >= ?1) AND (?2 IS NULL OR outcome = ?2)"
                          " AND (?3 IS NULL OR device = ?3 OR tty = ?3 OR by_id = ?3)"
                          " AND (?4 IS NULL OR unit = ?4) AND (?5 IS NULL OR station = ?5)"
                          " ORDER BY start DESC, id DESC";
  SqliteStatement query = SqlitePrepare(db, sql.c_str(), error);
  if (!query) return std::nullopt;
  sqlite3_stmt* s = query.get();
  BindText(s, 1, f.since);
  BindText(s, 2, f.outcome);
  BindText(s, 3, f.device);
  BindText(s, 4, f.unit);
  BindText(s, 5, f.station);
  return ReadRows(db, s, error);
}

std::optional<std::vector<DownloadRecord>> CHistoryDb::Pending(size_t limit, std::string& error) {
  sqlite3* db = m_handle->db.get();
  const std::string sql = std::string("SELECT ") + kColumns + " FROM downloads WHERE sent IS NULL AND uuid IS NOT NULL ORDER BY id LIMIT ?";
  SqliteStatement query = SqlitePrepare(db, sql.c_str(), error);
  if (!query) return std::nullopt;
  BindInt(query.get(), 1, static_cast<int64_t>(limit));
  return ReadRows(db, query.get(), error);
}

std::optional<int64_t> CHistoryDb::PendingCount(std::string& error) {
  return SqliteInt(m_handle->db.get(), "SELECT count(*) FROM downloads WHERE sent IS NULL AND uuid IS NOT NULL", error);
}

bool CHistoryDb::MarkSent(const std::vector<std::string>& uuids, const std::string& at, std::string& error) {
  sqlite3* db = m_handle->db.get();
  SqliteStatement update = SqlitePrepare(db, "UPDATE downloads SET sent = ?1 WHERE uuid = ?2 AND sent IS NULL", error);
  if (!update) return false;
  if (!SqliteExec(db, "BEGIN IMMEDIATE", error)) return false;
  for (const std::string& uuid : uuids) {
    sqlite3_reset(update.get());
    BindText(update.get(), 1, at);
    BindText(update.get(), 2, uuid);
    if (sqlite3_step(update.get()) != SQLITE_DONE) {
      error = SqliteError(db);
      std::string ignored;
      SqliteExec(db, "ROLLBACK", ignored);
      return false;
    }
  }
  if (SqliteExec(db, "COMMIT", error)) return true;
  std::string ignored;
  SqliteExec(db, "ROLLBACK", ignored);
  return false;
}

std::string CHistoryDb::State(const std::string& key, std::string& error) {
  sqlite3* db = m_handle->db.get();
  SqliteStatement query = SqlitePrepare(db, "SELECT value FROM outbox_state WHERE key = ?", error);
  if (!query) return {};
  BindText(query.get(), 1, key);
  return sqlite3_step(query.get()) == SQLITE_ROW ? ColumnText(query.get(), 0) : std::string();
}

bool CHistoryDb::SetState(const std::string& key, const std::string& value, std::string& error) {
  sqlite3* db = m_handle->db.get();
  SqliteStatement upsert = SqlitePrepare(db, "INSERT INTO outbox_state (key, value) VALUES (?1, ?2) "
                                             "ON CONFLICT (key) DO UPDATE SET value = excluded.value", error);
  if (!upsert) return false;
  BindText(upsert.get(), 1, key);
  BindText(upsert.get(), 2, value);
  if (sqlite3_step(upsert.get()) == SQLITE_DONE) return true;
  error = SqliteError(db);
  return false;
}

std::optional<std::vector<DownloadRecord>> CHistoryDb::ReadRows(sqlite3* db, sqlite3_stmt* s, std::string& error) {
  std::vector<DownloadRecord> rows;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    DownloadRecord r;
    int i = 0;
    for (std::string* text : {&r.start, &r.end, &r.host, &r.device, &r.tty, &r.serial, &r.byId, &r.image})
      *text = ColumnText(s, i++);
    r.size = ColumnInt(s, i++);
    r.sha256 = ColumnText(s, i++);
    r.type = ColumnText(s, i++);
    r.speed = ColumnInt(s, i++);
    r.phoneSw = ColumnText(s, i++);
    r.imageVersion = ColumnText(s, i++);
    r.outcome = ColumnText(s, i++);
    r.exit = ColumnInt(s, i++);
    r.elapsedS = ColumnReal(s, i++);
    r.resends = ColumnInt(s, i++);
    r.toolVersion = ColumnText(s, i++);
    for (std::string* text : {&r.uuid, &r.station, &r.unit}) *text = ColumnText(s, i++);
    rows.push_back(std::move(r));
  }
  if (rc != SQLITE_DONE) {
    error = SqliteError(db);
    return std::nullopt;
  }
  return rows;
}
