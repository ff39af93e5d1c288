#include <algorithm>
#include <cstdlib>

#include "LineRecord.h"
#include "SharedRecord.h"

namespace {

using Clock = CPgConnection::Clock;

// Ids are handed out when a row is inserted, not when it is committed: a station's row may
// become visible after a later one was read. The ids skipped over are asked for again for a
// while; longer than any station's insert may take.
constexpr auto kGapKept = std::chrono::seconds(60);
constexpr size_t kGapsKept = 256;
// The schema that numbers the rows.
constexpr int kNumberedSchema = 2;

std::string Iso(const char* column) {
  return std::string("to_char(") + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}

const std::string kColumns = "id, " + Iso("start") + ", " + Iso("\"end\"") +
                             ", station, device, image, unit, outcome, elapsed_s, resends FROM downloads";
// The rows after the cursor, and those that turned up in the gaps below it.
const std::string kRowsSql = "(SELECT " + kColumns + " WHERE id > $1 ORDER BY id LIMIT $4) UNION ALL (SELECT " +
                             kColumns +
                             " JOIN unnest($2::bigint[], $3::bigint[]) AS gap(lo, hi) ON id BETWEEN gap.lo AND gap.hi)"
                             " ORDER BY id LIMIT $4";

// Each port's row, then each station's heartbeat (its host where a port has its unit).
const std::string kLiveSql =
    "(SELECT 'p', station, port, present, phase, percent, unit, last_outcome, " + Iso("updated") +
    " FROM port_states) UNION ALL (SELECT 'b', station, NULL, ended, NULL, NULL, host, NULL, " + Iso("seen") +
    " FROM station_heartbeats) ORDER BY 1, 2, 3";

struct Gap {
  int64_t lo, hi;
  Clock::time_point seen;
};

std::string ArrayOf(const std::vector<Gap>& gaps, int64_t Gap::*end) {
  std::string text = "{";
  for (const Gap& g : gaps) text += (text.size() > 1 ? "," : "") + std::to_string(g.*end);
  return text + "}";
}

class CPgLineRecord final : public ILineRecord {
 public:
  CPgLineRecord(std::string url, std::chrono::milliseconds wait, std::unique_ptr<CSharedRecord> record)
      : m_url(std::move(url)), m_wait(wait), m_record(std::move(record)) {}

  bool RowsAfter(int64_t afterId, size_t limit, std::vector<LineRow>& rows, std::string& error) override {
    if (!Connected(error)) return false;
    if (afterId != m_returned) {  // a reader that starts over
      m_cursor = afterId;
      m_gaps.clear();
    }
    const auto now = Clock::now();
    std::erase_if(m_gaps, [&](const Gap& g) { return now - g.seen > kGapKept; });
    const PgResult r =
        m_record->Connection().Exec(kRowsSql,
                                    {std::to_string(m_cursor), ArrayOf(m_gaps, &Gap::lo), ArrayOf(m_gaps, &Gap::hi),
                                     std::to_string(limit)},
                                    now + m_wait, error);
    if (!r) return error = "the shared record: " + error, false;
    const pg_result* res = r.get();
    const size_t first = rows.size();
    for (int i = 0; i < PgRows(res); ++i) {
      LineRow row;
      row.id = std::strtoll(PgText(res, i, 0).c_str(), nullptr, 10);
      row.start = PgText(res, i, 1);
      row.end = PgText(res, i, 2);
      row.station = PgText(res, i, 3);
      row.port = PgText(res, i, 4);
      row.image = PgText(res, i, 5);
      row.unit = PgText(res, i, 6);
      row.outcome = PgText(res, i, 7);
      if (!PgIsNull(res, i, 8)) row.elapsedS = std::strtod(PgText(res, i, 8).c_str(), nullptr);
      row.resends = std::strtoll(PgText(res, i, 9).c_str(), nullptr, 10);
      Track(row.id, now);
      rows.push_back(std::move(row));
    }
    m_returned = rows.size() > first ? rows.back().id : afterId;
    return true;
  }

  bool Live(std::vector<LivePortRow>& ports, std::vector<StationBeat>& stations, std::string& error) override {
    if (!Connected(error)) return false;
    CPgConnection& pg = m_record->Connection();
    const auto deadline = Clock::now() + m_wait;
    // Both in one statement, so that the ports and their stations are of the same moment.
    const PgResult r = pg.Exec(kLiveSql, {}, deadline, error);
    if (!r) {
      // A record made before the stations published there has no live state: no tiles.
      if (error.find("does not exist") != std::string::npos && pg.Usable()) return error.clear(), true;
      return error = "the shared record: " + error, false;
    }
    const pg_result* res = r.get();
    for (int i = 0; i < PgRows(res); ++i) {
      if (PgText(res, i, 0) == "p") {
        LivePortRow p;
        p.station = PgText(res, i, 1);
        p.port = PgText(res, i, 2);
        p.present = PgText(res, i, 3) == "t";
        p.phase = PgText(res, i, 4);
        if (!PgIsNull(res, i, 5)) p.percent = std::strtod(PgText(res, i, 5).c_str(), nullptr);
        p.unit = PgText(res, i, 6);
        p.lastOutcome = PgText(res, i, 7);
        p.updated = PgText(res, i, 8);
        ports.push_back(std::move(p));
      } else {
        stations.push_back({PgText(res, i, 1), PgText(res, i, 6), PgText(res, i, 8), PgText(res, i, 3) == "t"});
      }
    }
    return true;
  }

 private:
  bool Connected(std::string& error) {
    if (m_record && m_record->Connection().Usable()) return true;
    m_record = CSharedRecord::Open(m_url, Clock::now() + m_wait, error);
    if (!m_record) return error = "cannot reach " + PgUrlShown(m_url) + ": " + error, false;
    return true;
  }

  // A row read: past the cursor it moves the cursor on, leaving a gap for any id skipped; below,
  // it fills its place in a gap.
  void Track(int64_t id, Clock::time_point now) {
    if (id > m_cursor) {
      if (id > m_cursor + 1) m_gaps.push_back({m_cursor + 1, id - 1, now});
      m_cursor = id;
      if (m_gaps.size() > kGapsKept) m_gaps.erase(m_gaps.begin());
      return;
    }
    const auto g = std::find_if(m_gaps.begin(), m_gaps.end(), [&](const Gap& x) { return x.lo <= id && id <= x.hi; });
    if (g == m_gaps.end()) return;
    const Gap was = *g;
    m_gaps.erase(g);
    if (was.lo < id) m_gaps.push_back({was.lo, id - 1, was.seen});
    if (id < was.hi) m_gaps.push_back({id + 1, was.hi, was.seen});
  }

  std::string m_url;
  std::chrono::milliseconds m_wait;
  std::unique_ptr<CSharedRecord> m_record;
  int64_t m_cursor = 0;    // every id up to here was read or is a gap
  int64_t m_returned = 0;  // the last id handed out: a reader that goes on asks after it
  std::vector<Gap> m_gaps;
};

}  // namespace

std::unique_ptr<ILineRecord> OpenPgLineRecord(const std::string& url, std::string& error,
                                              std::chrono::milliseconds wait) {
  auto record = CSharedRecord::Open(url, Clock::now() + wait, error);
  if (!record) return error = "cannot reach " + PgUrlShown(url) + ": " + error, nullptr;
  const auto version = record->SchemaVersion(Clock::now() + wait, error);
  if (!version) return error = PgUrlShown(url) + ": " + error, nullptr;
  if (*version < kNumberedSchema)
    return error = PgUrlShown(url) + ": the shared record is at schema " + std::to_string(*version) +
                   " (serve needs " + std::to_string(kNumberedSchema) +
                   "): run tarvisel-cli record init URL",
           nullptr;
  return std::make_unique<CPgLineRecord>(url, wait, std::move(record));
}
