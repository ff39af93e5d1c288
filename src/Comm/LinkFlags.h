#pragma once
// Process-wide flags shared by the window, the link and the receive thread; each has one writer.
// They exist once per process, so one link may own them at a time: CLinkFlagsClaim.
#include <atomic>

extern std::atomic<bool> g_bCommOpen;  // the port is open and configured (written by the link)
extern std::atomic<bool> g_bRxRun;     // the receive thread shall run (written by the window)
extern std::atomic<bool> g_bRxAlive;   // the receive thread has not finished (written by it)

// Held by the link for its life. A second link in the same process would reset the first one's
// flags under it: its construction is refused with std::logic_error instead.
class CLinkFlagsClaim {
 public:
  CLinkFlagsClaim();
  ~CLinkFlagsClaim();
  CLinkFlagsClaim(const CLinkFlagsClaim&) = delete;
  CLinkFlagsClaim& operator=(const CLinkFlagsClaim&) = delete;
};
