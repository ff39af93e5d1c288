#include "HistorySchema.h"

#include <iterator>

#include "Sqlite.h"

namespace {

// Step n takes a database of version n - 1 to version n. Never change a step that has shipped:
// add one.
constexpr const char* kSteps[] = {
    // 1
    R"(CREATE TABLE downloads (
         id INTEGER PRIMARY KEY,
         start TEXT NOT NULL,
         "end" TEXT NOT NULL,
         host TEXT,
         device TEXT NOT NULL,
         tty TEXT,
         serial TEXT,
         by_id TEXT,
         image TEXT,
         size INTEGER,
         sha256 TEXT,
         type TEXT,
         speed INTEGER,
         phone_sw TEXT,
         image_version TEXT,
         outcome TEXT NOT NULL,
         exit INTEGER,
         elapsed_s REAL,
         resends INTEGER,
         tool_version TEXT);)",
    // 2
    "CREATE INDEX downloads_by_start ON downloads (start);",
    // 3: rows written before get a random (version 4) UUID of their own, so that they too may go
    // to the shared record once.
    R"(ALTER TABLE downloads ADD COLUMN uuid TEXT;
       ALTER TABLE downloads ADD COLUMN station TEXT;
       ALTER TABLE downloads ADD COLUMN unit TEXT;
       ALTER TABLE downloads ADD COLUMN sent TEXT;
       UPDATE downloads SET station = host, uuid = lower(hex(randomblob(4)) || '-' || hex(randomblob(2)) || '-4' ||
         substr(hex(randomblob(2)), 2) || '-' || substr('89ab', 1 + abs(random() % 4), 1) ||
         substr(hex(randomblob(2)), 2) || '-' || hex(randomblob(6)));
       CREATE UNIQUE INDEX downloads_by_uuid ON downloads (uuid);
       CREATE INDEX downloads_pending ON downloads (id) WHERE sent IS NULL AND uuid IS NOT NULL;
       CREATE TABLE outbox_state (key TEXT PRIMARY KEY, value TEXT);)",
};
static_assert(std::size(kSteps) == kHistorySchemaVersion, "one step for each version");

std::string NewerText(int64_t version) {
  return "written by a newer tarvisel (schema " + std::to_string(version) + ")";
}

}  // namespace

bool UpgradeHistorySchema(sqlite3* db, int toVersion, std::string& error) {
  auto version = SqliteInt(db, "PRAGMA user_version", error);
  if (!version) return false;
  if (*version > kHistorySchemaVersion) return error = NewerText(*version), false;
  if (*version >= toVersion) return true;
  // Many handset processes may open a new database at once: the first one takes the write lock
  // and upgrades, the others wait (the busy time-out) and find it done.
  if (!SqliteExec(db, "BEGIN IMMEDIATE", error)) return false;
  auto fail = [&](const std::string& why) {
    std::string ignored;
    SqliteExec(db, "ROLLBACK", ignored);
    error = why;
    return false;
  };
  version = SqliteInt(db, "PRAGMA user_version", error);
  if (!version) return fail(error);
  if (*version > kHistorySchemaVersion) return fail(NewerText(*version));
  if (*version < toVersion) {
    const auto app = SqliteInt(db, "PRAGMA application_id", error);
    if (!app) return fail(error);
    if (*app != 0 && *app != kHistoryApplicationId) return fail("not a tarvisel history (another program's database)");
    if (*version == 0) {
      // A fresh file, or another program's database without a mark of its own.
      const auto tables = SqliteInt(db, "SELECT count(*) FROM sqlite_schema", error);
      if (!tables) return fail(error);
      if (*tables != 0) return fail("not a tarvisel history (it holds other tables)");
    }
    for (int64_t v = *version; v < toVersion; ++v)
      if (!SqliteExec(db, kSteps[v], error)) return fail("upgrading to schema " + std::to_string(v + 1) + ": " + error);
    const std::string mark = "PRAGMA application_id = " + std::to_string(kHistoryApplicationId) +
                             "; PRAGMA user_version = " + std::to_string(toVersion);
    if (!SqliteExec(db, mark.c_str(), error)) return fail(error);
  }
  return SqliteExec(db, "COMMIT", error) || fail(error);
}
