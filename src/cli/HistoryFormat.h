#pragma once
// The rows of the record as `tarvisel-cli history` writes them: a table for people, CSV with a
// header line, or JSON Lines with fixed keys; and the summary of a set of rows.
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "DownloadRecord.h"

// The keys of the JSON objects and the CSV header, in order.
extern const std::vector<std::string> kHistoryKeys;

nlohmann::ordered_json RecordJson(const DownloadRecord& row);
// One line of RFC 4180 CSV (without its CRLF) of the keys' values; unknowns are empty fields.
std::string CsvLine(const std::vector<std::string>& fields);
std::vector<std::string> RecordFields(const DownloadRecord& row);

void PrintHistoryTable(std::ostream& out, const std::vector<DownloadRecord>& rows);
// "14 downloads: 12 completed, 2 failed (1 line-broke, 1 no-reply)".
std::string HistorySummary(const std::vector<DownloadRecord>& rows);
