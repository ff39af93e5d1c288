#include "ProgressRate.h"

void CProgressClock::Note(const BlockProgress& progress, uint64_t nowMs) {
  if (progress.block == 0) m_startMs = nowMs;
}

ProgressRate CProgressClock::Rate(const BlockProgress& p, uint64_t nowMs) const {
  ProgressRate r;
  const uint64_t elapsed = nowMs > m_startMs ? nowMs - m_startMs : 0;
  const double bytes = static_cast<double>(p.bytes);
  if (elapsed > 0) r.bytesPerS = bytes * 1000.0 / static_cast<double>(elapsed);
  if (r.bytesPerS > 0 && p.block > 0 && p.blocks >= p.block)
    r.etaS = static_cast<double>(p.blocks - p.block) * (bytes / p.block) / r.bytesPerS;
  return r;
}
