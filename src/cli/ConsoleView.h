#pragma once
// What the window would show, on a console: the log lines in their colours, the progress of
// flash programming, the status line, and the front-end's own notes; optionally the same with
// time stamps in a log file.
#include <cstdint>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

#include "platform/MemoryControls.h"

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
  // Hears every control change (CMemoryControls::AddObserver).
  void OnControl(const ControlEvent& event);
  // A line of the front-end's own: message boxes, answers, the result. Always shown.
  void Note(const std::string& text, bool error = false);
  // Called with the text of every log line the window appends.
  void SetLogLineListener(std::function<void(const std::string&)> listener) { m_onLogLine = std::move(listener); }

 private:
  void LogLine(const std::string& text, uint32_t colorBgr);
  void Print(const std::string& text, const char* colour);
  void ToFile(const std::string& text);
  void ShowProgress(const std::string& status);
  void ClearProgressLine();
  std::string ProgressDetails(int pos, const std::string& address) const;

  std::ostream& m_out;
  ConsoleStyle m_style;
  std::function<uint64_t()> m_clockMs;
  std::function<void(const std::string&)> m_onLogLine;
  std::ofstream m_file;
  int m_total = 0;
  int m_pos = 0;
  int m_lastDecile = 0;
  uint64_t m_startMs = 0;
  bool m_lineInPlace = false;  // a progress line waits to be overwritten
  std::string m_lastProgress;
};
