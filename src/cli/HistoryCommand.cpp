#include "HistoryCommand.h"

#include <filesystem>

#include <nlohmann/json.hpp>

#include "HistoryDb.h"
#include "HistoryFormat.h"
#include "JsonEvents.h"

int RunHistoryCommand(const CliOptions& options, ConsoleStreams& console) {
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
  const auto rows = db ? db->Rows({options.since, options.outcomeFilter, options.deviceFilter}, error) : std::nullopt;
  if (!rows) {
    console.err << "history: cannot read " << path << ": " << error << "\n";
    return 1;
  }
  if (options.json) {
    for (const auto& r : *rows) WriteJsonLine(console.out, RecordJson(r));
  } else if (options.csv) {
    console.out << CsvLine(kHistoryKeys) << "\r\n";
    for (const auto& r : *rows) console.out << CsvLine(RecordFields(r)) << "\r\n";
  } else if (!rows->empty()) {
    PrintHistoryTable(console.out, *rows);
  }
  console.out << std::flush;
  console.err << "history: " << HistorySummary(*rows) << "\n";
  return 0;
}
