#include "HistoryCommand.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include <nlohmann/json.hpp>

#include "HistoryDb.h"
#include "HistoryFormat.h"
#include "JsonEvents.h"
#include "SharedRecord.h"

namespace {

// How long history waits for the shared record's server to answer.
constexpr auto kConnectBound = std::chrono::seconds(15);

void PrintRows(const CliOptions& options, ConsoleStreams& console, const std::vector<DownloadRecord>& rows) {
  if (options.json) {
    for (const auto& r : rows) WriteJsonLine(console.out, RecordJson(r));
  } else if (options.csv) {
    console.out << CsvLine(kHistoryKeys) << "\r\n";
    for (const auto& r : rows) console.out << CsvLine(RecordFields(r)) << "\r\n";
  } else if (!rows.empty()) {
    PrintHistoryTable(console.out, rows);
  }
  console.out << std::flush;
  console.err << "history: " << HistorySummary(rows) << "\n";
}

HistoryFilter FilterOf(const CliOptions& o) {
  return {o.since, o.outcomeFilter, o.deviceFilter, o.unitFilter, o.stationFilter};
}

int SharedHistory(const CliOptions& options, ConsoleStreams& console, const std::string& url) {
  std::string error;
  const auto record = CSharedRecord::Open(url, std::chrono::steady_clock::now() + kConnectBound, error);
  const auto rows = record ? record->Rows(FilterOf(options), error) : std::nullopt;
  if (!rows) {
    console.err << "history: cannot read the shared record " << PgUrlShown(url) << ": " << error << "\n";
    return 1;
  }
  PrintRows(options, console, *rows);
  // The times of a station whose clock is off are its own: say so once for each.
  std::map<std::string, double> worst;
  for (const auto& r : *rows)
    if (r.clockSkewS && std::fabs(*r.clockSkewS) > kClockSkewLimitS &&
        std::fabs(*r.clockSkewS) > std::fabs(worst[r.station]))
      worst[r.station] = *r.clockSkewS;
  for (const auto& [station, skew] : worst) console.err << ClockSkewText(station, skew) << "\n";
  return 0;
}

}  // namespace

std::string ClockSkewText(const std::string& station, double skewS) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.0f", std::fabs(skewS));
  return "history: the clock of station " + station + " was " + seconds + " s " + (skewS > 0 ? "ahead of" : "behind") +
         " the server's: its times are off by as much";
}

int RunHistoryCommand(const CliOptions& options, ConsoleStreams& console) {
  // --history FILE names the station's own record, whatever TARVISEL_RECORD says.
  const std::string url = options.historyFile.empty() ? RecordUrlOf(options) : options.recordUrl;
  if (!url.empty()) return SharedHistory(options, console, url);
  const std::string path = HistoryPathOf(options);
  if (path.empty()) {
    console.err << "history: no place for the record (no home folder): name one with --history FILE\n";
    return 1;
  }
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    console.err << "history: no downloads recorded (there is no " << path << " yet)\n";
    return 0;
  }
  std::string error;
  const auto db = CHistoryDb::Open(path, CHistoryDb::Access::Read, error);
  const auto rows = db ? db->Rows(FilterOf(options), error) : std::nullopt;
  if (!rows) {
    console.err << "history: cannot read " << path << ": " << error << "\n";
    return 1;
  }
  PrintRows(options, console, *rows);
  return 0;
}
