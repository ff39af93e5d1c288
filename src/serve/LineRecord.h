#pragma once
// What serve reads of a line's record, whichever database holds it: the rows of finished
// downloads in the order they were stored (an id that only grows), and the live state the
// stations publish. A record is read, never written.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct LineRow {
  int64_t id = 0;
  std::string start, end;  // ISO 8601 UTC
  std::string station;     // its name; the host's where the record has no name of its own
  std::string port;        // the device as the station was given it
  std::string image;       // the image's path
  std::string unit;        // empty: none
  std::string outcome;
  std::optional<double> elapsedS;
  int64_t resends = 0;
};

struct LivePortRow {
  std::string station, port;
  bool present = false;
  std::string phase;
  std::optional<double> percent;
  std::string unit, lastOutcome, updated;
};

struct StationBeat {
  std::string station, host, seen;
  bool ended = false;
};

class ILineRecord {
 public:
  virtual ~ILineRecord() = default;
  // Up to limit rows stored after the row afterId, in the order stored. False with why.
  virtual bool RowsAfter(int64_t afterId, size_t limit, std::vector<LineRow>& rows, std::string& error) = 0;
  // Every port's last published state and every station's heartbeat. False with why.
  virtual bool Live(std::vector<LivePortRow>& ports, std::vector<StationBeat>& stations, std::string& error) = 0;
};

// A station's SQLite record (--history FILE), opened read-only. Null with why.
std::unique_ptr<ILineRecord> OpenSqliteLineRecord(const std::string& path, std::string& error);

// The line's shared PostgreSQL record (--record URL). Every read waits at most wait: a server
// that does not answer makes the read fail, never hang; a connection lost is made again at the
// next read. Null with why when the server cannot be reached or has no record of this kind.
std::unique_ptr<ILineRecord> OpenPgLineRecord(const std::string& url, std::string& error,
                                              std::chrono::milliseconds wait = std::chrono::seconds(2));
