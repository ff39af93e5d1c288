#include "LiveState.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "HistoryDb.h"
#include "IsoTime.h"
#include "PgConnection.h"
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

CPgLiveMirror::CPgLiveMirror(std::string url, std::chrono::milliseconds wait)
    : m_url(std::move(url)), m_wait(wait), m_thread([this](std::stop_token stop) { Run(stop); }) {}

CPgLiveMirror::~CPgLiveMirror() {
  m_thread.request_stop();
  m_wake.notify_all();
}

void CPgLiveMirror::Offer(const std::vector<LivePort>& ports, const Beat& beat) {
  {
    std::lock_guard lock(m_mutex);
    for (const LivePort& p : ports) m_pending.ports[p.port] = {p, beat.seen};
    m_pending.beat = beat;
  }
  m_wake.notify_all();
}

void CPgLiveMirror::Run(std::stop_token stop) {
  std::unique_lock lock(m_mutex);
  while (true) {
    m_wake.wait(lock, stop, [&] { return m_pending.beat.has_value(); });
    const bool last = stop.stop_requested();
    if (!m_pending.beat) return;
    Pending what = std::move(m_pending);
    m_pending = {};
    lock.unlock();
    const bool sent = Send(what, last, stop);
    lock.lock();
    if (!sent) {
      // Put back under what came since, which is newer; tried again at the next heartbeat.
      for (auto& [port, state] : what.ports) m_pending.ports.try_emplace(port, std::move(state));
      if (!m_pending.beat) m_pending.beat = std::move(what.beat);
      if (last) return;
      m_wake.wait_for(lock, stop, kLiveHeartbeat, [] { return false; });
    }
    if (last) return;
  }
}

bool CPgLiveMirror::Send(const Pending& what, bool last, const std::stop_token& stop) {
  const auto deadline = CPgConnection::Clock::now() + m_wait;
  // Only the station's last words wait out the bound once it is told to stop.
  const CPgConnection::GiveUp giveUp = [&stop, last] { return !last && stop.stop_requested(); };
  // Why it failed is not kept: the station's own record has it all, and the next heartbeat tries again.
  std::string error;
  if (!m_pg || !m_pg->Usable()) {
    m_pg = CPgConnection::Connect(m_url, deadline, error, giveUp);
    if (!m_pg) return false;
  }
  PgParams params;
  auto param = [&](std::optional<std::string> value) {
    params.push_back(std::move(value));
    return "$" + std::to_string(params.size());
  };
  auto text = [](const std::string& t) { return t.empty() ? std::nullopt : std::optional<std::string>(t); };
  // One statement: parameters cannot go with several, so the rows go as arrays of one call.
  std::string sql =
      "WITH p AS (INSERT INTO port_states (station, port, present, phase, percent, unit, last_outcome, updated)"
      " SELECT " + param(what.beat->station) + ", * FROM unnest(";
  std::vector<std::string> columns(7);
  auto quoted = [](const std::optional<std::string>& v) {
    if (!v) return std::string("NULL");
    std::string q = "\"";
    for (char c : *v) {
      if (c == '"' || c == '\\') q += '\\';
      q += c;
    }
    return q + "\"";
  };
  for (const auto& [port, state] : what.ports) {
    const LivePort& p = state.first;
    std::optional<std::string> percent;
    if (p.percent) {
      char t[40];
      std::snprintf(t, sizeof t, "%.17g", *p.percent);
      percent = t;
    }
    const std::optional<std::string> values[] = {p.port, p.present ? "t" : "f", text(p.phase), percent,
                                                 text(p.unit), text(p.lastOutcome), state.second};
    for (size_t c = 0; c < columns.size(); ++c) columns[c] += (columns[c].empty() ? "" : ",") + quoted(values[c]);
  }
  const char* types[] = {"text", "boolean", "text", "double precision", "text", "text", "timestamptz"};
  for (size_t c = 0; c < columns.size(); ++c)
    sql += (c ? ", " : "") + param("{" + columns[c] + "}") + "::" + types[c] + "[]";
  sql += ") ON CONFLICT (station, port) DO UPDATE SET present = excluded.present, phase = excluded.phase,"
         " percent = excluded.percent, unit = excluded.unit, last_outcome = excluded.last_outcome,"
         " updated = excluded.updated RETURNING 1)"
         " INSERT INTO station_heartbeats (station, host, seen, ended) VALUES ($1, " +
         param(text(what.beat->host)) + ", " + param(what.beat->seen) + ", " + param(what.beat->ended ? "t" : "f") +
         ") ON CONFLICT (station) DO UPDATE SET host = excluded.host, seen = excluded.seen, ended = excluded.ended";
  return m_pg->Exec(sql, params, deadline, error, giveUp) != nullptr;
}

CLiveStatePublisher::CLiveStatePublisher(std::string path, std::string station, const std::string& recordUrl)
    : m_path(std::move(path)), m_station(std::move(station)) {
  if (!recordUrl.empty()) m_mirror = std::make_unique<CPgLiveMirror>(recordUrl);
}

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
  std::vector<LivePort> written;
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
      if (m_mirror) written.push_back(p.state);
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
  if (m_mirror) m_mirror->Offer(written, {m_station, HostName(), at, ended});
  return true;
}
