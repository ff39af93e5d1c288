#pragma once
// SQLite handles that let go of themselves: a connection and a prepared statement, and the few
// calls the record makes on them, each with the library's own words when it fails.
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteDb = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

// What went wrong on the connection last, in the library's words.
std::string SqliteError(sqlite3* db);
// Runs statements that return no rows that matter. False with why.
bool SqliteExec(sqlite3* db, const char* sql, std::string& error);
// Null with why.
SqliteStatement SqlitePrepare(sqlite3* db, const char* sql, std::string& error);
// The first column of the first row of a one-value statement (a PRAGMA's value).
std::optional<int64_t> SqliteInt(sqlite3* db, const char* sql, std::string& error);

// Text as NULL when empty; numbers as NULL when absent.
void BindText(sqlite3_stmt* statement, int index, const std::string& text);
void BindInt(sqlite3_stmt* statement, int index, std::optional<int64_t> value);
void BindReal(sqlite3_stmt* statement, int index, std::optional<double> value);
std::string ColumnText(sqlite3_stmt* statement, int index);
std::optional<int64_t> ColumnInt(sqlite3_stmt* statement, int index);
std::optional<double> ColumnReal(sqlite3_stmt* statement, int index);
