#include "Comm/LinkFlags.h"

std::atomic<bool> g_bCommOpen{false};
std::atomic<bool> g_bRxRun{false};
std::atomic<bool> g_bRxAlive{false};
