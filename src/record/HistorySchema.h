#pragma once
// The history database's layout and its versions. PRAGMA user_version holds the version a
// database was last brought to; an older one is brought up to date in place, step by step, in
// one transaction, so that a download never meets a half-upgraded table.
struct sqlite3;

#include <string>

// 1: the table of downloads. 2: an index by start time (newest first, --since). 3: the
// download's UUID, station and unit, and the outbox of the shared record (sent, state).
inline constexpr int kHistorySchemaVersion = 3;
// Marks the file as ours (PRAGMA application_id): "TRVS".
inline constexpr int kHistoryApplicationId = 0x54525653;

// Brings the database from whatever version it has up to toVersion (the current one unless a
// test wants an older database). False with why: a database of a newer version, or another
// program's, is left alone.
bool UpgradeHistorySchema(sqlite3* db, int toVersion, std::string& error);
