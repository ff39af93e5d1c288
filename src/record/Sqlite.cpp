#include "Sqlite.h"

std::string SqliteError(sqlite3* db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

bool SqliteExec(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : SqliteError(db);
  sqlite3_free(message);
  return false;
}

SqliteStatement SqlitePrepare(sqlite3* db, const char* sql, std::string& error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    error = SqliteError(db);
    return nullptr;
  }
  return SqliteStatement(raw);
}

std::optional<int64_t> SqliteInt(sqlite3* db, const char* sql, std::string& error) {
  SqliteStatement statement = SqlitePrepare(db, sql, error);
  if (!statement) return std::nullopt;
  const int rc = sqlite3_step(statement.get());
  if (rc == SQLITE_ROW) return sqlite3_column_int64(statement.get(), 0);
  error = rc == SQLITE_DONE ? std::string("no value") : SqliteError(db);
  return std::nullopt;
}

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
  if (text.empty()) sqlite3_bind_null(statement, index);
  else sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void BindInt(sqlite3_stmt* statement, int index, std::optional<int64_t> value) {
  if (value) sqlite3_bind_int64(statement, index, *value);
  else sqlite3_bind_null(statement, index);
}

void BindReal(sqlite3_stmt* statement, int index, std::optional<double> value) {
  if (value) sqlite3_bind_double(statement, index, *value);
  else sqlite3_bind_null(statement, index);
}

std::string ColumnText(sqlite3_stmt* statement, int index) {
  const unsigned char* text = sqlite3_column_text(statement, index);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(statement, index)))
              : std::string();
}

std::optional<int64_t> ColumnInt(sqlite3_stmt* statement, int index) {
  if (sqlite3_column_type(statement, index) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(statement, index);
}

std::optional<double> ColumnReal(sqlite3_stmt* statement, int index) {
  if (sqlite3_column_type(statement, index) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(statement, index);
}
