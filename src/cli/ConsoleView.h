#pragma once
// What the window would show, on a console: the log lines in their colours, the progress of
// flash programming from the engine's progress events, the elapsed time, and the front-end's
// own notes; optionally the same with time stamps in a log file.
#include <cstdint>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

#include "EngineEvents.h"

struct ConsoleStyle {
  bool terminal = false;  // colours and a progress line that updates in place
  bool quiet = false;     // only errors and the result
};

class CConsoleView {
 public:
  // clockMs: milliseconds on a steady clock, for the throughput and the time left.
  CConsoleView(std::ostream& out, ConsoleStyle style, std::function<uint64_t()> clockMs);

  // False when the file can't be created.
  bool OpenLogFile(const std::string& path);
  // A line of the window's log.
  void LogLine(LogTone tone, const std::string& text);
  // Flash programming: 0 of n when it starts (or starts over), then after each block.
  void Progress(const BlockProgress& progress);
  // The last block was acknowledged after elapsedMs of programming.
  void Programmed(uint64_t elapsedMs);
  // A line of the front-end's own: message boxes, answers, the result. Always shown.
  void Note(const std::string& text, bool error = false);

 private:
  void Print(const std::string& text, const char* colour);
  void ToFile(const std::string& text);
  void ClearProgressLine();
  std::string ProgressDetails(const BlockProgress& p) const;

  std::ostream& m_out;
  ConsoleStyle m_style;
  std::function<uint64_t()> m_clockMs;
  std::ofstream m_file;
  BlockProgress m_progress;
  int m_lastDecile = 0;
  uint64_t m_startMs = 0;
  bool m_lineInPlace = false;  // a progress line waits to be overwritten
  std::string m_lastProgress;
};
