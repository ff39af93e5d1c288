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
#include "ProgressRate.h"

struct ConsoleStyle {
  bool terminal = false;  // colours and a progress line that updates in place
  bool quiet = false;     // only errors and the result
  bool colour = true;     // false: a terminal without colours (NO_COLOR)
};

// What each line of the log file is: "info", "step", "error" (the window's log lines in blue,
// black and red), "message" and "alert" (a box the window would show, with the answer given;
// an alert's has the warning sign), "note" and "warning" (a line of the command line's own,
// a warning's in red) and "result" (the command's result line).
using LineSink = std::function<void(const char* kind, const std::string& text)>;

// "2026-12-08 09:15:02.125": the time stamp of a log file's lines, local time.
std::string LogTimeStamp();
// "0x1f000, 11.2 KiB/s, 0:12 left": where programming is and how fast it goes.
std::string FormatProgressDetails(const BlockProgress& progress, const ProgressRate& rate);

// A box's text as one or more console lines, the first one marked "message: ".
std::string FormatBoxText(const std::string& text);

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
  // A box the window would show; answer ("-> Yes (--yes)") follows its text. Always shown.
  void Message(const std::string& boxText, const std::string& answer, bool error = false);
  // A line of the front-end's own: answers, notes. Always shown.
  void Note(const std::string& text, bool error = false);
  // The command's result line. Always shown.
  void Result(const std::string& text, bool error);
  // Every line the log file gets goes to the sink too, whether shown or not.
  void SetLineSink(LineSink sink) { m_sink = std::move(sink); }

 private:
  void Print(const std::string& text, const char* colour);
  void ToFile(const char* kind, const std::string& text, const std::string& fileText);
  void ClearProgressLine();
  std::string ProgressDetails(const BlockProgress& p) const;

  std::ostream& m_out;
  ConsoleStyle m_style;
  std::function<uint64_t()> m_clockMs;
  std::ofstream m_file;
  LineSink m_sink;
  BlockProgress m_progress;
  CProgressClock m_clock;
  int m_lastDecile = 0;
  bool m_lineInPlace = false;  // a progress line waits to be overwritten
  std::string m_lastProgress;
};
