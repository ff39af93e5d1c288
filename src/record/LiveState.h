#pragma once
// The live state of a station's ports, kept in the record beside the rows of finished downloads:
// one row per port (handset present, phase, percentage, unit, last outcome, when) and one per
// station (its heartbeat). A port's row is written at most once a second however often its
// handset reports; the heartbeat says the station still runs, and a reader takes a station
// whose heartbeat is older than kLiveOfflineAfter for gone.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
class CPgConnection;

inline constexpr auto kLiveMinGap = std::chrono::seconds(1);
inline constexpr auto kLiveHeartbeat = std::chrono::seconds(2);
inline constexpr auto kLiveOfflineAfter = std::chrono::seconds(10);

// Made by the first writer where missing: they hold no history, only what is happening now, so
// they take no step of the record's numbered schema.
inline constexpr const char* kLiveStateTables =
    "CREATE TABLE IF NOT EXISTS port_states ("
    " station TEXT NOT NULL, port TEXT NOT NULL, present INTEGER NOT NULL, phase TEXT, percent REAL,"
    " unit TEXT, last_outcome TEXT, updated TEXT NOT NULL, PRIMARY KEY (station, port));"
    "CREATE TABLE IF NOT EXISTS station_heartbeats ("
    " station TEXT PRIMARY KEY, host TEXT, seen TEXT NOT NULL, ended INTEGER NOT NULL DEFAULT 0);";

struct LivePort {
  std::string port;  // the device as the station was given it
  bool present = false;
  std::string phase;               // empty: no download running
  std::optional<double> percent;   // of the image programmed
  std::string unit;
  std::string lastOutcome;         // of the port's last download: "completed", "no-reply", ...

  bool operator==(const LivePort&) const = default;
};

// The name the station publishes under: TARVISEL_STATION_NAME where one machine runs more than
// one station, else the host name.
std::string StationName();

// The same live state sent on to the line's shared PostgreSQL record, from a thread of its own:
// Offer only leaves the state there, so that a slow or absent server never delays a download.
// A port's latest state replaces one not yet sent; what could not be sent is tried again at the
// next heartbeat.
class CPgLiveMirror {
 public:
  struct Beat {
    std::string station, host, seen;  // seen: ISO 8601 UTC, the station's clock
    bool ended = false;
  };
  CPgLiveMirror(std::string url, std::chrono::milliseconds wait = std::chrono::seconds(2));
  // Sends what is left (the station's end), waiting no longer than wait.
  ~CPgLiveMirror();
  CPgLiveMirror(const CPgLiveMirror&) = delete;
  CPgLiveMirror& operator=(const CPgLiveMirror&) = delete;

  void Offer(const std::vector<LivePort>& ports, const Beat& beat);

 private:
  struct Pending {
    std::map<std::string, std::pair<LivePort, std::string>> ports;  // by port: its state and when
    std::optional<Beat> beat;
  };
  void Run(std::stop_token stop);
  bool Send(const Pending& what, bool last, const std::stop_token& stop);

  std::string m_url;
  std::chrono::milliseconds m_wait;
  std::unique_ptr<CPgConnection> m_pg;  // the thread's alone
  std::mutex m_mutex;
  std::condition_variable_any m_wake;
  Pending m_pending;
  std::jthread m_thread;  // last: stopped and joined before the rest goes
};

class CLiveStatePublisher {
 public:
  using Clock = std::chrono::steady_clock;

  // path: the record (SQLite) the station writes; station: its name. A record that cannot be
  // opened is tried again at each heartbeat; a publisher never stops a download. recordUrl: the
  // line's shared record, where what is written goes too.
  CLiveStatePublisher(std::string path, std::string station, const std::string& recordUrl = {});
  ~CLiveStatePublisher();  // writes what is pending and marks the station ended
  CLiveStatePublisher(const CLiveStatePublisher&) = delete;
  CLiveStatePublisher& operator=(const CLiveStatePublisher&) = delete;

  // The port's state now; written at once when its last write is a second old, else when it is.
  void Set(const LivePort& state, Clock::time_point now);
  // Writes the ports that are due and the heartbeat when due, in one transaction.
  void Flush(Clock::time_point now);
  // When Flush has something to write next.
  Clock::time_point Due() const;
  // Rows written so far (each port's row and each heartbeat count one).
  long Writes() const { return m_writes; }
  // Why the last write failed; empty when it did not.
  const std::string& LastError() const { return m_error; }

 private:
  struct Port {
    LivePort state;
    bool pending = false;
    std::optional<Clock::time_point> written;
  };
  bool Open();
  // ended: the station's last write, everything pending at once.
  bool Write(Clock::time_point now, bool ended);

  struct Closer {
    void operator()(sqlite3* db) const;
  };
  std::string m_path;
  std::string m_station;
  std::unique_ptr<sqlite3, Closer> m_db;
  std::map<std::string, Port> m_ports;
  std::optional<Clock::time_point> m_beat;
  long m_writes = 0;
  std::string m_error;
  std::unique_ptr<CPgLiveMirror> m_mirror;
};
