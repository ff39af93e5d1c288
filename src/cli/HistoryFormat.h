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
// A cell as a spreadsheet may take it: one that begins with = + - @ (or a tab or CR) would be
// read as a formula, so it gets a ' in front; a plain number ("-5", "1.5") stays as it is.
std::string CsvCell(const std::string& field);
// One line of RFC 4180 CSV (without its CRLF) of the keys' values, each through CsvCell;
// unknowns are empty fields.
std::string CsvLine(const std::vector<std::string>& fields);
std::vector<std::string> RecordFields(const DownloadRecord& row);

void PrintHistoryTable(std::ostream& out, const std::vector<DownloadRecord>& rows);
// "14 downloads: 11 completed, 2 failed (1 line-broke, 1 no-reply), 1 stopped (1 declined); 1
// set-up error, nothing sent (1 port)": the handsets' outcomes, then the station's set-up errors.
std::string HistorySummary(const std::vector<DownloadRecord>& rows);
