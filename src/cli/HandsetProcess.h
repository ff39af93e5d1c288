#pragma once
// One handset's process of a station or a watch: this program run for that handset alone with
// --json, its standard output and error on pipes the caller polls, its end as a wait status. A
// process still running when its owner goes is killed and reaped.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

class CHandsetProcess {
 public:
  using Clock = std::chrono::steady_clock;

  CHandsetProcess() = default;
  ~CHandsetProcess();
  CHandsetProcess(const CHandsetProcess&) = delete;
  CHandsetProcess& operator=(const CHandsetProcess&) = delete;

  // Starts argv (argv[0] a path) in a process group of its own (the terminal's Ctrl-C reaches
  // the caller alone, which hands it on), standard input /dev/null, ended with SIGTERM if the
  // caller dies. False (errno says why) when it could not start: the process then counts as one
  // that exited with 127.
  bool Start(const std::vector<std::string>& argv);

  pid_t Pid() const { return m_pid; }
  Clock::time_point Started() const { return m_started; }
  int OutFd() const { return m_out.Get(); }  // -1 once closed
  int ErrFd() const { return m_err.Get(); }

  // Reads what waits on standard output: each whole line (and, at its end, a last one without
  // its line break) goes to onLine.
  void ReadOut(const std::function<void(const std::string&)>& onLine);
  // Reads what waits on standard error; its last lines are kept for a crash's report.
  void ReadErr();
  void Signal(int sig);
  // Looks for the process's end without waiting.
  void Reap();
  bool Reaped() const { return m_reaped; }
  // Reaped, and both pipes read to their end: nothing more comes from it.
  bool Ended() const { return m_reaped && !m_out.Valid() && !m_err.Valid(); }
  // The pipes are closed but the process is not reaped yet (it is about to end).
  bool Closing() const { return !m_reaped && !m_out.Valid() && !m_err.Valid(); }
  int WaitStatus() const { return m_waitStatus; }
  // The last lines (at most max) it wrote on standard error.
  std::vector<std::string> ErrTail(size_t max) const;

 private:
  pid_t m_pid = -1;
  CUniqueFd m_out, m_err;
  std::string m_outBuf, m_errTail;
  bool m_reaped = false;
  int m_waitStatus = 0;
  Clock::time_point m_started{};
};

// How a handset whose process ended without a result ended: its outcome ("crashed", or
// "interrupted" / "stopped" when the caller had told it so), exit status, signal (0 for none)
// and a few words for the log.
struct ProcessEnd {
  std::string outcome;
  int exit = 0;
  int signal = 0;
  int code = 0;  // the status it exited with, when no signal ended it
  std::string how;  // "ended by signal 11 (Segmentation fault)", "ended with status 3"
};
// aborted: the caller sent SIGTERM (or SIGKILL) to end it; stopped: it sent SIGINT.
ProcessEnd EndWithoutResult(int waitStatus, bool aborted, bool stopped);
