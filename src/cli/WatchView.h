#pragma once
// What a watch shows on standard error. On a terminal one line per port, updated in place (its
// download's phase and bar, or its result, in green or red; "unplugged", "waiting", "not
// matched"), and under them the running count. Without a terminal plain lines: a port plugged
// in and unplugged, each download's phases, every 10 % of its programming, its result, and
// the count after each handset's end.
#include <ostream>
#include <string>
#include <vector>

#include "StationView.h"

struct WatchCounts {
  int completed = 0;   // handsets whose download completed
  int failed = 0;      // handsets whose last try failed
  int inProgress = 0;  // downloads running or about to be tried again
};
// "completed 3, failed 1, in progress 2"
std::string CountsText(const WatchCounts& counts);

// One port as the view shows it.
struct PortShown {
  std::string link;
  const HandsetStatus* download = nullptr;  // its download now or its last one; null before the first
  std::string state;  // besides the download, or alone: "unplugged", "waiting", "not matched (...)"
  bool retrying = false;  // a failed download that is about to be tried again: not red yet
};

class CWatchView {
 public:
  CWatchView(std::ostream& out, ConsoleStyle style, size_t columns = 80);

  // The lines a station shows of a handset (its events, red lines, notes) and the block.
  CStationView& Handsets() { return m_lines; }
  // A line about a port: plain "LINK: text"; on a terminal only an error's, above the block.
  void PortLine(const std::string& link, const std::string& text, bool error = false);
  // Without a terminal, the count after a handset's end.
  void Counts(const WatchCounts& counts);
  // Terminal: the block of ports and the count under it, when something changed.
  void Draw(const std::vector<PortShown>& ports, const WatchCounts& counts, const std::string& note);
  // A port's line on a terminal, without its colour.
  std::string PortText(const PortShown& port, size_t labelWidth) const;

 private:
  ConsoleStyle m_style;
  CStationView m_lines;
};
