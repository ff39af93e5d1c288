#pragma once
// Throughput and time left of flash programming, measured from its first block (block 0 of n,
// which the engine reports again when programming starts over after a new erase).
#include <cstdint>
#include <optional>

#include "EngineEvents.h"

struct ProgressRate {
  double bytesPerS = 0;
  std::optional<double> etaS;  // unknown until a block has gone at a measurable rate
};

class CProgressClock {
 public:
  // Call with every progress event, at the time it came.
  void Note(const BlockProgress& progress, uint64_t nowMs);
  ProgressRate Rate(const BlockProgress& progress, uint64_t nowMs) const;

 private:
  uint64_t m_startMs = 0;
};
