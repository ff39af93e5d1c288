#pragma once
// What a station shows of its handsets on standard error. On a terminal one line per handset,
// updated in place (device, phase, bar, percentage, address, throughput, time left, and at the
// end its result), with a handset's red lines above them; otherwise plain lines: phases, every
// 10 % of each handset's programming, red lines and results. At the end a summary table.
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "ConsoleView.h"

// What the station knows of one handset, from its events.
struct HandsetStatus {
  std::string device;
  std::string phase;  // the phase last entered; empty before the first
  std::optional<BlockProgress> progress;
  ProgressRate rate;
  std::string sw;  // the phone's S/W version
  bool started = false;
  std::optional<std::string> outcome;  // from "finished"
  int exit = 0;
  double elapsedS = 0;
  std::string unit;  // the unit it was given; empty: none

  bool Finished() const { return outcome.has_value(); }
};

// Takes one event object into the status. False for an object that is no event of the format
// (or comes after the handset's "finished"): the caller drops it.
bool ApplyEvent(HandsetStatus& status, const nlohmann::ordered_json& event);

// 0 when every handset completed; otherwise the exit status of the first one, in the order
// given, that did not.
int StationExitStatus(const std::vector<HandsetStatus>& handsets);

class CStationView {
 public:
  // columns: the terminal's width (lines are cut to it so that none wraps).
  CStationView(std::ostream& out, ConsoleStyle style, size_t handsets, size_t columns = 80);

  // The handset's status changed with the event named: a plain line where one is due, or the
  // block of lines marked for the next Draw. Handsets may be added at any index.
  void Changed(size_t index, const HandsetStatus& status, const std::string& event);
  // A line of a handset's log worth showing (errors), or of the station about it.
  void HandsetLine(const HandsetStatus& status, const std::string& text, bool error);
  // A line of the station's own.
  void Note(const std::string& text, bool error = false);
  // Terminal: draws the block of lines again when something changed since the last time.
  void Draw(const std::vector<HandsetStatus>& handsets);
  // Terminal: the block as these lines (each cut to the width already), at once.
  void DrawLines(std::vector<std::string> lines);
  // The width of the device column for these handsets.
  static size_t LabelWidth(const std::vector<HandsetStatus>& handsets);
  // Marks the block for the next draw.
  void MarkChanged() { m_dirty = true; }
  bool NeedsDraw() const { return m_dirty; }
  // The table of results, after the last Draw.
  void Summary(const std::vector<HandsetStatus>& handsets);

  // The line a terminal shows for the handset; label is its device, cut to the label width.
  std::string StatusLine(const HandsetStatus& status, size_t labelWidth) const;
  size_t Columns() const { return m_columns; }

 private:
  void Above(const std::string& text, const char* colour);
  std::string Label(const std::string& device, size_t width) const;

  std::ostream& m_out;
  ConsoleStyle m_style;
  size_t m_columns;
  std::vector<int> m_decile;  // plain lines: the last 10 % step printed, per handset
  size_t m_drawn = 0;         // lines of the block on the screen
  bool m_dirty = true;
  std::vector<std::string> m_lastLines;
};

// "1:05" for 65 seconds.
std::string MinutesSeconds(double seconds);
