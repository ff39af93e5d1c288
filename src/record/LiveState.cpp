#include "LiveState.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "HistoryDb.h"
#include "IsoTime.h"
#include "Sqlite.h"

namespace {

// The station's loop must not wait on another writer: a row not written now is written at the
// next second.
constexpr int kBusyMs = 200;

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace

std::string StationName() {
  const char* name = std::getenv("TARVISEL_STATION_NAME");
  return name && *name ? std::string(name) : HostName();
}

void CLiveStatePublisher::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

CLiveStatePublisher::CLiveStatePublisher(std::string path, std::string station)
    : m_path(std::move(path)), m_station(std::move(station)) {}

CLiveStatePublisher::~CLiveStatePublisher() {
  // A station that never published (a usage error) leaves the record as it was.
  if (!m_path.empty() && m_beat) Write(Clock::now(), true);
}

bool CLiveStatePublisher::Open() {
  if (m_db) return true;
  // The record's own open makes the file and its schema as every writer does.
  if (!CHistoryDb::Open(m_path, CHistoryDb::Access::Append, m_error)) return false;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(m_path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, Closer> db(raw);
  if (rc != SQLITE_OK) return m_error = SqliteError(db.get()), false;
  sqlite3_busy_timeout(db.get(), kBusyMs);
  if (!SqliteExec(db.get(), kLiveStateTables, m_error)) return false;
  m_db = std::move(db);
  return true;
}

void CLiveStatePublisher::Set(const LivePort& state, Clock::time_point now) {
  Port& p = m_ports[state.port];
  if (p.state == state && p.written) return;
  p.state = state;
  p.pending = true;
  if (!p.written || now - *p.written >= kLiveMinGap) Flush(now);
}

CLiveStatePublisher::Clock::time_point CLiveStatePublisher::Due() const {
  if (!m_error.empty() && m_beat) return *m_beat + kLiveHeartbeat;
  Clock::time_point due = m_beat ? *m_beat + kLiveHeartbeat : Clock::time_point{};
  for (const auto& [name, p] : m_ports)
    if (p.pending) due = std::min(due, p.written ? *p.written + kLiveMinGap : Clock::time_point{});
  return due;
}

void CLiveStatePublisher::Flush(Clock::time_point now) {
  if (m_path.empty() || now < Due()) return;
  Write(now, false);
}

bool CLiveStatePublisher::Write(Clock::time_point now, bool ended) {
  // A failed write is tried again at the next heartbeat, not at every event.
  m_beat = now;
  if (!Open()) {
    if (m_error.empty()) m_error = "cannot open the record";
    return false;
  }
  sqlite3* db = m_db.get();
  if (!SqliteExec(db, "BEGIN IMMEDIATE", m_error)) return false;
  const std::string at = IsoUtc(std::chrono::system_clock::now());
  auto fail = [&] {
    m_error = SqliteError(db);
    std::string ignored;
    SqliteExec(db, "ROLLBACK", ignored);
    return false;
  };
  long writes = 0;
  {
    SqliteStatement port = SqlitePrepare(
        db,
        "INSERT OR REPLACE INTO port_states (station, port, present, phase, percent, unit, last_outcome, updated)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        m_error);
    if (!port) return fail();
    for (auto& [name, p] : m_ports) {
      if (!p.pending || (!ended && p.written && now - *p.written < kLiveMinGap)) continue;
      sqlite3_stmt* s = port.get();
      sqlite3_reset(s);
      BindText(s, 1, m_station);
      BindText(s, 2, p.state.port);
      BindInt(s, 3, p.state.present ? 1 : 0);
      BindText(s, 4, p.state.phase);
      BindReal(s, 5, p.state.percent);
      BindText(s, 6, p.state.unit);
      BindText(s, 7, p.state.lastOutcome);
      BindText(s, 8, at);
      if (sqlite3_step(s) != SQLITE_DONE) return fail();
      ++writes;
    }
    SqliteStatement beat = SqlitePrepare(
        db, "INSERT OR REPLACE INTO station_heartbeats (station, host, seen, ended) VALUES (?, ?, ?, ?)", m_error);
    if (!beat) return fail();
    BindText(beat.get(), 1, m_station);
    BindText(beat.get(), 2, HostName());
    BindText(beat.get(), 3, at);
    BindInt(beat.get(), 4, ended ? 1 : 0);
    if (sqlite3_step(beat.get()) != SQLITE_DONE) return fail();
    ++writes;
  }
  if (!SqliteExec(db, "COMMIT", m_error)) return fail();
  for (auto& [name, p] : m_ports)
    if (p.pending && (ended || !p.written || now - *p.written >= kLiveMinGap)) p.pending = false, p.written = now;
  m_writes += writes;
  m_error.clear();
  return true;
}
