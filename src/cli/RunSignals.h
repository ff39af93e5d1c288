#pragma once
// SIGINT, SIGTERM and SIGCHLD as events on a descriptor for the time of a station's or a
// watch's run: blocked in the calling thread and read from a signalfd. Make it on the main
// thread before any other thread exists; presses that came after the last read, or come while
// the process winds down after the run, do not end it.
#include <signal.h>

#include "platform/UniqueFd.h"

class CRunSignals {
 public:
  CRunSignals();
  ~CRunSignals();
  CRunSignals(const CRunSignals&) = delete;
  CRunSignals& operator=(const CRunSignals&) = delete;

  // -1 when the signals could not be taken (Ctrl-C is then not handled).
  int Fd() const { return m_fd.Get(); }
  // The next signal waiting: SIGINT, SIGTERM or SIGCHLD; 0 when none.
  int Next();

 private:
  bool m_masked = false;
  sigset_t m_old{};
  CUniqueFd m_fd;
};
