#pragma once
// The record a whole line shares: one PostgreSQL database that every station's rows go to,
// keyed by each download's UUID, so that a row sent twice is stored once. The server keeps the
// time it received each row besides the station's own times, and from the two how far each
// station's clock is off.
//
// Its layout (tables downloads, port_states, station_heartbeats and tarvisel_schema, view
// station_clocks) is made by numbered migrations, each in a transaction of its own under an
// advisory lock, so that two stations may run `record init` at once.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DownloadRecord.h"
#include "PgConnection.h"
#include "RecordReader.h"

// The schema version this program makes and knows.
inline constexpr int kSharedSchemaVersion = 3;
// A station whose clock is further off than this is flagged.
inline constexpr double kClockSkewLimitS = 60.0;
// The role `record init` suggests for stations: it may insert rows and nothing else.
inline constexpr const char* kStationRole = "tarvisel_station";

// How `record init` went: the version found and the one left, in a few words.
struct SharedInit {
  bool ok = false;
  int found = 0;
  int now = 0;
  std::string message;
};

// The migrations as one would run them by hand, for the README and the tests.
std::string SharedSchemaStep(int version);
// The SQL that makes a role that may only add rows and keep its ports' live state (and read the schema's version).
std::string StationRoleSql();

class CSharedRecord final : public IRecordReader {
 public:
  using Clock = CPgConnection::Clock;

  explicit CSharedRecord(std::unique_ptr<CPgConnection> connection) : m_pg(std::move(connection)) {}
  // Null with why.
  static std::unique_ptr<CSharedRecord> Open(const std::string& url, Clock::time_point deadline, std::string& error,
                                             const CPgConnection::GiveUp& giveUp = nullptr);

  // Brings the schema up to toVersion (the current one unless a test wants another); a newer
  // one is left as it is.
  SharedInit Init(Clock::time_point deadline, int toVersion = kSharedSchemaVersion);
  // The version on the server: 0 when there is none; nullopt with why.
  std::optional<int> SchemaVersion(Clock::time_point deadline, std::string& error);

  // Sends rows in one statement (each stored once, whatever was sent before). The number of
  // them that were new; nullopt with why, when nothing was committed.
  std::optional<int64_t> Insert(const std::vector<DownloadRecord>& rows, Clock::time_point deadline, std::string& error,
                                const CPgConnection::GiveUp& giveUp = nullptr);

  std::optional<std::vector<DownloadRecord>> Rows(const HistoryFilter& filter, std::string& error) override;

  // The server's clock minus this machine's, in seconds (half the round trip allowed for).
  std::optional<double> ServerClockOffset(Clock::time_point deadline, std::string& error);
  // The stations whose clock was off by more than the limit when they last sent a row.
  struct StationClock {
    std::string station;
    std::string lastReceived;
    double skewS = 0;
  };
  std::optional<std::vector<StationClock>> SkewedStations(Clock::time_point deadline, std::string& error);

  CPgConnection& Connection() { return *m_pg; }

 private:
  std::unique_ptr<CPgConnection> m_pg;
};
