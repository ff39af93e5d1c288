#include "Comm/LinkFlags.h"

#include <stdexcept>

std::atomic<bool> g_bCommOpen{false};
std::atomic<bool> g_bRxRun{false};
std::atomic<bool> g_bRxAlive{false};

namespace {
std::atomic<bool> g_bLinkClaimed{false};
}

CLinkFlagsClaim::CLinkFlagsClaim() {
  if (g_bLinkClaimed.exchange(true)) {
    throw std::logic_error(
        "a second serial link in one process: the link flags belong to the first; run one engine per "
        "process (a station runs one process per handset)");
  }
}

CLinkFlagsClaim::~CLinkFlagsClaim() { g_bLinkClaimed = false; }
