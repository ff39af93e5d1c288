#include "HistoryDb.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

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
// open the file switches it and the mode stays with the file.
bool UseWal(sqlite3* db, std::string& error) {
  SqliteStatement statement = SqlitePrepare(db, "PRAGMA journal_mode = WAL", error);
  if (!statement) return false;
  if (sqlite3_step(statement.get()) != SQLITE_ROW) return error = SqliteError(db), false;
  return true;
}

// SQLite takes a file too short for its header for an empty database and writes over it.
bool LooksLikeDatabase(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;  // not there yet, or not readable: the open says so
  char head[16] = {};
  in.read(head, sizeof head);
  return in.gcount() == 0 || (in.gcount() == sizeof head && std::memcmp(head, "SQLite format 3", 16) == 0);
}

// Before anything is written to the file: another program's database, or one of a newer
// tarvisel, is left exactly as it is.
bool IsOurs(sqlite3* db, std::string& error) {
  const auto app = SqliteInt(db, "PRAGMA application_id", error);
  const auto version = app ? SqliteInt(db, "PRAGMA user_version", error) : std::nullopt;
  if (!version) return false;
  if (*app != 0 && *app != kHistoryApplicationId) return error = "not a tarvisel history (another program's database)", false;
  if (*version > kHistorySchemaVersion)
    return error = "written by a newer tarvisel (schema " + std::to_string(*version) + ")", false;
  if (*version > 0) return true;
  const auto tables = SqliteInt(db, "SELECT count(*) FROM sqlite_schema", error);
  if (!tables) return false;
  return *tables == 0 || (error = "not a tarvisel history (it holds other tables)", false);
}

}  // namespace

struct CHistoryDb::Handle {
  SqliteDb db;
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
  const int create = access == Access::Append ? SQLITE_OPEN_CREATE : 0;
  SqliteDb db = OpenFile(path, SQLITE_OPEN_READWRITE | create, error);
  if (db && IsOurs(db.get(), error) && UseWal(db.get(), error) &&
      UpgradeHistorySchema(db.get(), kHistorySchemaVersion, error))
    return std::unique_ptr<CHistoryDb>(new CHistoryDb(std::make_unique<Handle>(Handle{std::move(db)})));
  if (access == Access::Append) return nullptr;
  // A file this user may only read: its rows as they are.
  std::string why;
  db = OpenFile(path, SQLITE_OPEN_READONLY, why);
  if (!db) return nullptr;
  const auto version = SqliteInt(db.get(), "PRAGMA user_version", why);
  if (!version || *version < 1 || !IsOurs(db.get(), why)) return nullptr;
  return std::unique_ptr<CHistoryDb>(new CHistoryDb(std::make_unique<Handle>(Handle{std::move(db)})));
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
  sqlite3* db = m_handle->db.get();
  const std::string sql = std::string("SELECT ") + kColumns +
                          " FROM downloads WHERE (?1 IS NULL OR start >= ?1) AND (?2 IS NULL OR outcome = ?2)"
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
