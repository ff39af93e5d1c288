#pragma once
// Process-wide flags shared by the window, the link and the receive thread; each has one writer.
#include <atomic>

extern std::atomic<bool> g_bCommOpen;  // the port is open and configured (written by the link)
extern std::atomic<bool> g_bRxRun;     // the receive thread shall run (written by the window)
extern std::atomic<bool> g_bRxAlive;   // the receive thread has not finished (written by it)
