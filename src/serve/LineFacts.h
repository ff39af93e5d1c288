#pragma once
// What serve says of a line, from its record: the counters since the record began (for
// /metrics), today's counts and the last day's hours, the latest downloads and the last hour's
// failures (for the page and /api), and the live state of every port. Rows are read once, as
// they arrive (a record only grows), so a request costs what arrived since the last one.
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "LineRecord.h"

// The upper bounds of the download-time histogram, in seconds.
inline constexpr double kDurationBounds[] = {15, 30, 60, 90, 120, 180, 300, 600, 1200};
inline constexpr size_t kLatestKept = 20;
// The page's data names the ports that failed most today, not all of them.
inline constexpr size_t kWorstPorts = 12;

class CLineFacts {
 public:
  using SystemTime = std::chrono::system_clock::time_point;

  explicit CLineFacts(ILineRecord& record) : m_record(record) {}

  // Reads the rows that arrived and the live state. False with why (the facts stay as they were).
  bool Refresh(SystemTime now, std::string& error);

  // The page's data: everything below in one object. todayStart: local midnight.
  nlohmann::json Line(SystemTime now, SystemTime todayStart) const;
  nlohmann::json Stations(SystemTime now, SystemTime todayStart) const;
  nlohmann::json Latest() const;
  nlohmann::json Failures(SystemTime now) const;
  // ports: how many of by_port, the ports that failed most first; all of them by default.
  nlohmann::json Today(SystemTime todayStart, size_t ports = SIZE_MAX) const;
  nlohmann::json Hours(SystemTime now) const;
  // Prometheus's text format.
  std::string Metrics(SystemTime now) const;

  int64_t LastId() const { return m_lastId; }

 private:
  using Key = std::tuple<std::string, std::string, std::string, std::string>;  // station, port, image, outcome
  struct Duration {
    std::vector<int64_t> buckets = std::vector<int64_t>(std::size(kDurationBounds), 0);  // not cumulative
    double sum = 0;
    int64_t count = 0;
  };
  struct Cutoffs {
    std::string oldestHour, failuresSince;
  };
  void Take(const LineRow& row, const Cutoffs& cutoffs);
  void TrimLatest();
  bool Online(const StationBeat& beat, SystemTime now) const;
  // Today's counts (total, completed) by station, port, image and outcome, summed from the
  // hours once for each set of rows.
  struct Tally {
    int64_t lastId = -1;
    std::string since;
    std::pair<int64_t, int64_t> all;
    std::map<std::string, std::pair<int64_t, int64_t>> stations, images;
    std::map<std::pair<std::string, std::string>, std::pair<int64_t, int64_t>> ports;
    std::map<std::string, int64_t> outcomes;
  };
  const Tally& TodayTally(SystemTime todayStart) const;
  struct Counter {
    int64_t n = 0;
    std::string series;  // the name and labels, rendered once
  };

  ILineRecord& m_record;
  int64_t m_lastId = 0;
  std::map<Key, Counter> m_downloads;
  std::map<std::pair<std::string, std::string>, Counter> m_resends;  // station, port
  std::map<std::string, Duration> m_durations;                       // by station
  // Counts by the hour a download ended ("2026-12-09T10", UTC), for the last two days.
  std::map<std::string, std::map<Key, int64_t>> m_hours;
  std::deque<LineRow> m_latest;    // newest first
  std::deque<LineRow> m_failures;  // of the last two hours, oldest first
  std::vector<LivePortRow> m_ports;
  std::vector<StationBeat> m_stations;
  mutable Tally m_tally;
};

// The file name of an image's path: what the line calls the image.
std::string ImageName(const std::string& path);
// The midnight that began the local day of now.
std::chrono::system_clock::time_point LocalMidnight(std::chrono::system_clock::time_point now);
