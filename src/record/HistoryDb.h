#pragma once
// The history database: one row for every download, appended by many processes at once (WAL
// mode, a busy time-out, one transaction a row), read back newest first.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DownloadRecord.h"

struct sqlite3;

struct HistoryFilter {
  std::string since;    // ISO 8601 UTC: rows that started at or after it; empty: all
  std::string outcome;  // empty: any
  std::string device;   // the device as given, its tty or its by-id name; empty: any
};

class CHistoryDb {
 public:
  // How long a process waits for another's write before it gives up on its row.
  static constexpr int kBusyTimeoutMs = 10000;

  enum class Access {
    Append,  // creates the file and its folder where missing, and upgrades an older schema
    Read,    // an existing file only, opened read-only: nothing is written, upgraded or created
  };
  // Null with why (not a database, another program's, a newer schema, cannot be created).
  static std::unique_ptr<CHistoryDb> Open(const std::string& path, Access access, std::string& error);
  ~CHistoryDb();
  CHistoryDb(const CHistoryDb&) = delete;
  CHistoryDb& operator=(const CHistoryDb&) = delete;

  // One row, in a transaction of its own. False with why (read-only, disk full, locked too long).
  bool Append(const DownloadRecord& record, std::string& error);
  // The rows that pass the filter, newest first; nullopt with why.
  std::optional<std::vector<DownloadRecord>> Rows(const HistoryFilter& filter, std::string& error);

 private:
  struct Handle;
  explicit CHistoryDb(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> m_handle;
};
