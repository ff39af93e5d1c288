#pragma once
// What reads the rows of a record, the station's own (SQLite) or the line's shared one
// (PostgreSQL): the same filters, the same rows, newest first.
#include <optional>
#include <string>
#include <vector>

#include "DownloadRecord.h"

struct HistoryFilter {
  std::string since;    // ISO 8601 UTC: rows that started at or after it; empty: all
  std::string outcome;  // empty: any
  std::string device;   // the device as given, its tty or its by-id name; empty: any
  std::string unit = {};     // empty: any
  std::string station = {};  // empty: any
};

class IRecordReader {
 public:
  virtual ~IRecordReader() = default;
  // The rows that pass the filter, newest first; nullopt with why.
  virtual std::optional<std::vector<DownloadRecord>> Rows(const HistoryFilter& filter, std::string& error) = 0;
};
