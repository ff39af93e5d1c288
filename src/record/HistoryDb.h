#pragma once
// The history database: one row for every download, appended by many processes at once (WAL
// mode, a busy time-out, one transaction a row), read back newest first.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DownloadRecord.h"
#include "RecordReader.h"

struct sqlite3;
struct sqlite3_stmt;

class CHistoryDb final : public IRecordReader {
 public:
  // How long a process waits for another's write before it gives up on its row.
  static constexpr int kBusyTimeoutMs = 10000;

  enum class Access {
    Append,  // creates the file and its folder where missing, and upgrades an older schema
    Read,    // an existing file only, opened read-only: nothing is written, upgraded or created
  };
  // Null with why (not a database, another program's, a newer schema, cannot be created).
  static std::unique_ptr<CHistoryDb> Open(const std::string& path, Access access, std::string& error);
  ~CHistoryDb() override;
  CHistoryDb(const CHistoryDb&) = delete;
  CHistoryDb& operator=(const CHistoryDb&) = delete;

  // One row, in a transaction of its own. False with why (read-only, disk full, locked too long).
  bool Append(const DownloadRecord& record, std::string& error);
  // The rows that pass the filter, newest first; nullopt with why.
  std::optional<std::vector<DownloadRecord>> Rows(const HistoryFilter& filter, std::string& error) override;

  // The outbox of the shared record: every row with a UUID is pending until the server has
  // committed it (every row a download leaves has one).
  // The oldest pending rows first, at most limit of them.
  std::optional<std::vector<DownloadRecord>> Pending(size_t limit, std::string& error);
  std::optional<int64_t> PendingCount(std::string& error);
  // The rows of these UUIDs are on the server since at (ISO 8601 UTC).
  bool MarkSent(const std::vector<std::string>& uuids, const std::string& at, std::string& error);
  // What the uploader last did ("last_upload", "last_error", ...): empty when never.
  std::string State(const std::string& key, std::string& error);
  bool SetState(const std::string& key, const std::string& value, std::string& error);

 private:
  struct Handle;
  explicit CHistoryDb(std::unique_ptr<Handle> handle);
  static std::optional<std::vector<DownloadRecord>> ReadRows(sqlite3* db, sqlite3_stmt* statement, std::string& error);
  std::unique_ptr<Handle> m_handle;
};
