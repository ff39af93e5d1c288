#include <filesystem>

#include "LineRecord.h"
#include "Sqlite.h"

namespace {

bool HasColumn(sqlite3* db, const char* table, const char* column) {
  std::string error;
  SqliteStatement s = SqlitePrepare(db, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2", error);
  if (!s) return false;
  sqlite3_bind_text(s.get(), 1, table, -1, SQLITE_STATIC);
  sqlite3_bind_text(s.get(), 2, column, -1, SQLITE_STATIC);
  return sqlite3_step(s.get()) == SQLITE_ROW;
}

class CSqliteLineRecord final : public ILineRecord {
 public:
  explicit CSqliteLineRecord(SqliteDb db) : m_db(std::move(db)) {}

  bool RowsAfter(int64_t afterId, size_t limit, std::vector<LineRow>& rows, std::string& error) override {
    sqlite3* db = m_db.get();
    if (!m_rows) {
      // A record of a later kind names the station and the unit; one without them is one host's.
      const std::string station = HasColumn(db, "downloads", "station") ? "coalesce(station, host)" : "host";
      const std::string unit = HasColumn(db, "downloads", "unit") ? "unit" : "NULL";
      const std::string sql = "SELECT id, start, \"end\", " + station + ", device, image, " + unit +
                              ", outcome, elapsed_s, resends FROM downloads WHERE id > ?1 ORDER BY id LIMIT ?2";
      m_rows = SqlitePrepare(db, sql.c_str(), error);
      if (!m_rows) return false;
    }
    sqlite3_stmt* s = m_rows.get();
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, afterId);
    sqlite3_bind_int64(s, 2, static_cast<int64_t>(limit));
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      LineRow r;
      r.id = sqlite3_column_int64(s, 0);
      r.start = ColumnText(s, 1);
      r.end = ColumnText(s, 2);
      r.station = ColumnText(s, 3);
      r.port = ColumnText(s, 4);
      r.image = ColumnText(s, 5);
      r.unit = ColumnText(s, 6);
      r.outcome = ColumnText(s, 7);
      r.elapsedS = ColumnReal(s, 8);
      r.resends = ColumnInt(s, 9).value_or(0);
      rows.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) return error = SqliteError(db), false;
    sqlite3_reset(s);  // ends the read, so that the writers' log may be checkpointed
    return true;
  }

  bool Live(std::vector<LivePortRow>& ports, std::vector<StationBeat>& stations, std::string& error) override {
    sqlite3* db = m_db.get();
    // Until a station publishes, the tables are not there.
    if (!HasColumn(db, "station_heartbeats", "ended")) return true;
    {
      SqliteStatement s = SqlitePrepare(
          db, "SELECT station, port, present, phase, percent, unit, last_outcome, updated FROM port_states"
              " ORDER BY station, port", error);
      if (!s) return false;
      int rc;
      while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        LivePortRow p;
        p.station = ColumnText(s.get(), 0);
        p.port = ColumnText(s.get(), 1);
        p.present = ColumnInt(s.get(), 2).value_or(0) != 0;
        p.phase = ColumnText(s.get(), 3);
        p.percent = ColumnReal(s.get(), 4);
        p.unit = ColumnText(s.get(), 5);
        p.lastOutcome = ColumnText(s.get(), 6);
        p.updated = ColumnText(s.get(), 7);
        ports.push_back(std::move(p));
      }
      if (rc != SQLITE_DONE) return error = SqliteError(db), false;
    }
    SqliteStatement s = SqlitePrepare(db, "SELECT station, host, seen, ended FROM station_heartbeats ORDER BY station", error);
    if (!s) return false;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
      stations.push_back({ColumnText(s.get(), 0), ColumnText(s.get(), 1), ColumnText(s.get(), 2),
                          ColumnInt(s.get(), 3).value_or(0) != 0});
    if (rc != SQLITE_DONE) return error = SqliteError(db), false;
    return true;
  }

 private:
  SqliteDb m_db;
  SqliteStatement m_rows;  // declared after m_db: finalized before the connection closes
};

}  // namespace

std::unique_ptr<ILineRecord> OpenSqliteLineRecord(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return error = "no such record: " + path, nullptr;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  SqliteDb db(raw);
  if (rc != SQLITE_OK) return error = SqliteError(db.get()), nullptr;
  sqlite3_busy_timeout(db.get(), 2000);
  if (!HasColumn(db.get(), "downloads", "outcome")) {
    error = path + " is not a tarvisel record";
    if (sqlite3_errcode(db.get()) != SQLITE_OK && sqlite3_errcode(db.get()) != SQLITE_DONE &&
        sqlite3_errcode(db.get()) != SQLITE_ROW)
      error += std::string(" (") + SqliteError(db.get()) + ")";
    return nullptr;
  }
  return std::make_unique<CSqliteLineRecord>(std::move(db));
}
