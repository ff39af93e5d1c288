#include "SharedRecord.h"

#include <cstdlib>
#include <iterator>

#include "IsoTime.h"

namespace {

// Step n takes a schema of version n - 1 to version n. Never change a step that has shipped:
// add one.
constexpr const char* kSteps[] = {
    // 1
    R"(CREATE TABLE downloads (
         uuid uuid PRIMARY KEY,
         station text NOT NULL,
         unit text,
         start timestamptz NOT NULL,
         "end" timestamptz NOT NULL,
         host text,
         device text NOT NULL,
         tty text,
         serial text,
         by_id text,
         image text,
         size bigint,
         sha256 text,
         type text,
         speed bigint,
         phone_sw text,
         image_version text,
         outcome text NOT NULL,
         exit integer,
         elapsed_s double precision,
         resends bigint,
         tool_version text,
         station_clock timestamptz NOT NULL,
         received timestamptz NOT NULL DEFAULT now());
       CREATE INDEX downloads_by_start ON downloads (start DESC);
       CREATE INDEX downloads_by_unit ON downloads (unit, start DESC);
       CREATE INDEX downloads_by_station ON downloads (station, start DESC);
       CREATE INDEX downloads_by_received ON downloads (received DESC);
       CREATE VIEW station_clocks AS
         SELECT DISTINCT ON (station) station, received AS last_received,
                extract(epoch FROM station_clock - received)::double precision AS skew_s
         FROM downloads ORDER BY station, received DESC;)",
    // 2: an id that only grows, so that a reader can take the rows stored since it last read.
    // An identity column: a role that may insert rows needs no right on its sequence.
    R"(ALTER TABLE downloads ADD COLUMN id bigint GENERATED ALWAYS AS IDENTITY;
       CREATE UNIQUE INDEX downloads_by_id ON downloads (id);)",
    // 3: the live state the stations publish: each port's state now and each station's heartbeat.
    R"(CREATE TABLE port_states (
         station text NOT NULL,
         port text NOT NULL,
         present boolean NOT NULL,
         phase text,
         percent double precision,
         unit text,
         last_outcome text,
         updated timestamptz NOT NULL,
         PRIMARY KEY (station, port));
       CREATE TABLE station_heartbeats (
         station text PRIMARY KEY,
         host text,
         seen timestamptz NOT NULL,
         ended boolean NOT NULL DEFAULT false);)",
};
static_assert(std::size(kSteps) == kSharedSchemaVersion, "one step for each version");

// The advisory lock every migration takes: "TRVS" and 1.
constexpr const char* kLock = "SELECT pg_advisory_xact_lock(1414681171, 1)";
constexpr const char* kVersionTable =
    "CREATE TABLE IF NOT EXISTS tarvisel_schema (version integer PRIMARY KEY, applied timestamptz NOT NULL DEFAULT now())";
constexpr const char* kHasVersionTable = "SELECT to_regclass('tarvisel_schema') IS NOT NULL";

// The columns a station sends, in order; station_clock comes last, one value for the statement.
constexpr const char* kInsertColumns =
    "uuid, station, unit, start, \"end\", host, device, tty, serial, by_id, image, size, sha256, type, speed, phone_sw, "
    "image_version, outcome, exit, elapsed_s, resends, tool_version, station_clock";
constexpr int kValuesPerRow = 22;

std::string IsoColumn(const char* column) {
  return std::string("to_char(") + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}

std::optional<std::string> Text(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional<std::string>(text);
}
template <typename T>
std::optional<std::string> Number(const std::optional<T>& value) {
  if (!value) return std::nullopt;
  if constexpr (std::is_floating_point_v<T>) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", *value);
    return std::string(text);
  } else {
    return std::to_string(*value);
  }
}

std::optional<int64_t> IntOf(const pg_result* r, int row, int column) {
  if (PgIsNull(r, row, column)) return std::nullopt;
  return std::strtoll(PgText(r, row, column).c_str(), nullptr, 10);
}
std::optional<double> RealOf(const pg_result* r, int row, int column) {
  if (PgIsNull(r, row, column)) return std::nullopt;
  return std::strtod(PgText(r, row, column).c_str(), nullptr);
}

std::string WithHint(const std::string& error) {
  if (error.find("does not exist") != std::string::npos && error.find("downloads") != std::string::npos)
    return error + " (the shared record has no tables yet: run tarvisel-cli record init URL)";
  return error;
}

}  // namespace

std::string SharedSchemaStep(int version) {
  return version >= 1 && version <= kSharedSchemaVersion ? kSteps[version - 1] : "";
}

std::string StationRoleSql() {
  return std::string("-- A role for the stations: it may add rows, keep its ports' live state and read the schema's version, nothing more.\n") +
         "CREATE ROLE " + kStationRole + " LOGIN PASSWORD 'choose-a-password';\n" +
         "GRANT USAGE ON SCHEMA public TO " + kStationRole + ";\n" +
         "GRANT SELECT ON tarvisel_schema TO " + kStationRole + ";\n" +
         "GRANT INSERT ON downloads TO " + kStationRole + ";\n" +
         "-- Its ports' live state, replaced as it changes:\n" +
         "GRANT SELECT, INSERT, UPDATE ON port_states, station_heartbeats TO " + kStationRole + ";\n" +
         "-- And one for those who read it (history --record):\n" +
         "CREATE ROLE tarvisel_reader LOGIN PASSWORD 'choose-another';\n" +
         "GRANT USAGE ON SCHEMA public TO tarvisel_reader;\n" +
         "GRANT SELECT ON downloads, station_clocks, tarvisel_schema, port_states, station_heartbeats TO tarvisel_reader;\n";
}

std::unique_ptr<CSharedRecord> CSharedRecord::Open(const std::string& url, Clock::time_point deadline,
                                                   std::string& error, const CPgConnection::GiveUp& giveUp) {
  auto pg = CPgConnection::Connect(url, deadline, error, giveUp);
  if (!pg) return nullptr;
  // The station's times go in and come out in UTC, whatever the server's own zone.
  if (!pg->Run("SET TIME ZONE 'UTC'", deadline, error, giveUp)) return nullptr;
  return std::make_unique<CSharedRecord>(std::move(pg));
}

std::optional<int> CSharedRecord::SchemaVersion(Clock::time_point deadline, std::string& error) {
  const PgResult has = m_pg->Exec(kHasVersionTable, {}, deadline, error);
  if (!has) return std::nullopt;
  if (PgText(has.get(), 0, 0) != "t") return 0;
  const PgResult r = m_pg->Exec("SELECT coalesce(max(version), 0) FROM tarvisel_schema", {}, deadline, error);
  if (!r) return std::nullopt;
  return static_cast<int>(IntOf(r.get(), 0, 0).value_or(0));
}

SharedInit CSharedRecord::Init(Clock::time_point deadline, int toVersion) {
  SharedInit result;
  std::string error;
  const auto found = SchemaVersion(deadline, error);
  if (!found) return result.message = error, result;
  result.found = result.now = *found;
  auto newer = [&](int version) {
    result.message = "the shared record has schema " + std::to_string(version) + ", made by a newer tarvisel (this one knows " +
                     std::to_string(kSharedSchemaVersion) + "): it is left as it is; upgrade tarvisel to upgrade it";
    return result;
  };
  if (*found > kSharedSchemaVersion) return newer(*found);
  for (int v = 1; v <= toVersion; ++v) {
    // Each step in a transaction of its own, under the lock: another station running it at the
    // same time waits here, then finds the step done.
    auto fail = [&](const std::string& why) {
      std::string ignored;
      if (m_pg->Usable()) m_pg->Run("ROLLBACK", deadline, ignored);
      result.message = why;
      return result;
    };
    if (!m_pg->Run("BEGIN", deadline, error) || !m_pg->Run(kLock, deadline, error) ||
        !m_pg->Run(kVersionTable, deadline, error))
      return fail(error);
    const PgResult r = m_pg->Exec("SELECT coalesce(max(version), 0) FROM tarvisel_schema", {}, deadline, error);
    if (!r) return fail(error);
    const int current = static_cast<int>(IntOf(r.get(), 0, 0).value_or(0));
    if (current > kSharedSchemaVersion) {
      fail("");
      return newer(current);
    }
    if (current < v) {
      if (!m_pg->Run(kSteps[v - 1], deadline, error)) return fail("schema " + std::to_string(v) + ": " + error);
      if (!m_pg->Exec("INSERT INTO tarvisel_schema (version) VALUES ($1)", {std::to_string(v)}, deadline, error))
        return fail(error);
    }
    if (!m_pg->Run("COMMIT", deadline, error)) return fail(error);
    result.now = std::max(current, v);
  }
  result.ok = true;
  result.message = result.found == result.now
                       ? "the shared record is up to date (schema " + std::to_string(result.now) + ")"
                       : "the shared record is at schema " + std::to_string(result.now) + " (it was at " +
                             std::to_string(result.found) + ")";
  return result;
}

std::optional<int64_t> CSharedRecord::Insert(const std::vector<DownloadRecord>& rows, Clock::time_point deadline,
                                             std::string& error, const CPgConnection::GiveUp& giveUp) {
  if (rows.empty()) return 0;
  PgParams params;
  params.reserve(1 + rows.size() * kValuesPerRow);
  params.push_back(IsoUtc(std::chrono::system_clock::now()));  // the station's clock as it sends
  std::string sql = std::string("INSERT INTO downloads (") + kInsertColumns + ") VALUES ";
  for (size_t i = 0; i < rows.size(); ++i) {
    const DownloadRecord& r = rows[i];
    const std::string station = !r.station.empty() ? r.station : !r.host.empty() ? r.host : "unknown";
    for (auto value : {Text(r.uuid), Text(station), Text(r.unit), Text(r.start), Text(r.end), Text(r.host),
                       Text(r.device), Text(r.tty), Text(r.serial), Text(r.byId), Text(r.image), Number(r.size),
                       Text(r.sha256), Text(r.type), Number(r.speed), Text(r.phoneSw), Text(r.imageVersion),
                       Text(r.outcome), Number(r.exit), Number(r.elapsedS), Number(r.resends), Text(r.toolVersion)})
      params.push_back(std::move(value));
    sql += i ? ", (" : "(";
    const size_t base = 2 + i * kValuesPerRow;
    for (int c = 0; c < kValuesPerRow; ++c) sql += "$" + std::to_string(base + static_cast<size_t>(c)) + ", ";
    sql += "$1)";
  }
  // Any key the server has already (the UUID) is a row sent before: stored once.
  sql += " ON CONFLICT DO NOTHING";
  const PgResult r = m_pg->Exec(sql, params, deadline, error, giveUp);
  if (!r) return error = WithHint(error), std::nullopt;
  return PgAffected(r.get());
}

std::optional<std::vector<DownloadRecord>> CSharedRecord::Rows(const HistoryFilter& f, std::string& error) {
  const std::string sql =
      "SELECT uuid, station, unit, " + IsoColumn("start") + ", " + IsoColumn("\"end\"") +
      ", host, device, tty, serial, by_id, image, size, sha256, type, speed, phone_sw, image_version, outcome, exit, "
      "elapsed_s, resends, tool_version, " + IsoColumn("received") +
      ", extract(epoch FROM station_clock - received)::double precision FROM downloads"
      " WHERE ($1::timestamptz IS NULL OR start >= $1::timestamptz) AND ($2::text IS NULL OR outcome = $2)"
      " AND ($3::text IS NULL OR device = $3 OR tty = $3 OR by_id = $3)"
      " AND ($4::text IS NULL OR unit = $4) AND ($5::text IS NULL OR station = $5)"
      " ORDER BY start DESC, received DESC";
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  const PgResult r =
      m_pg->Exec(sql, {Text(f.since), Text(f.outcome), Text(f.device), Text(f.unit), Text(f.station)}, deadline, error);
  if (!r) return error = WithHint(error), std::nullopt;
  std::vector<DownloadRecord> rows;
  const pg_result* res = r.get();
  for (int i = 0; i < PgRows(res); ++i) {
    DownloadRecord d;
    int c = 0;
    for (std::string* text : {&d.uuid, &d.station, &d.unit, &d.start, &d.end, &d.host, &d.device, &d.tty, &d.serial,
                              &d.byId, &d.image})
      *text = PgText(res, i, c++);
    d.size = IntOf(res, i, c++);
    d.sha256 = PgText(res, i, c++);
    d.type = PgText(res, i, c++);
    d.speed = IntOf(res, i, c++);
    d.phoneSw = PgText(res, i, c++);
    d.imageVersion = PgText(res, i, c++);
    d.outcome = PgText(res, i, c++);
    d.exit = IntOf(res, i, c++);
    d.elapsedS = RealOf(res, i, c++);
    d.resends = IntOf(res, i, c++);
    d.toolVersion = PgText(res, i, c++);
    d.received = PgText(res, i, c++);
    d.clockSkewS = RealOf(res, i, c++);
    rows.push_back(std::move(d));
  }
  return rows;
}

std::optional<double> CSharedRecord::ServerClockOffset(Clock::time_point deadline, std::string& error) {
  const auto before = std::chrono::system_clock::now();
  const PgResult r = m_pg->Exec("SELECT extract(epoch FROM clock_timestamp())::double precision", {}, deadline, error);
  const auto after = std::chrono::system_clock::now();
  if (!r) return std::nullopt;
  const auto server = RealOf(r.get(), 0, 0);
  if (!server) return error = "no time from the server", std::nullopt;
  const double middle =
      std::chrono::duration<double>((before + (after - before) / 2).time_since_epoch()).count();
  return *server - middle;
}

std::optional<std::vector<CSharedRecord::StationClock>> CSharedRecord::SkewedStations(Clock::time_point deadline,
                                                                                      std::string& error) {
  const PgResult r = m_pg->Exec("SELECT station, " + IsoColumn("last_received") +
                                    ", skew_s FROM station_clocks WHERE abs(skew_s) > $1 ORDER BY station",
                                {Number(std::optional<double>(kClockSkewLimitS))}, deadline, error);
  if (!r) return std::nullopt;
  std::vector<StationClock> stations;
  for (int i = 0; i < PgRows(r.get()); ++i)
    stations.push_back({PgText(r.get(), i, 0), PgText(r.get(), i, 1), RealOf(r.get(), i, 2).value_or(0)});
  return stations;
}
