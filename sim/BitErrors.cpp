#include "BitErrors.h"

#include <cmath>
#include <limits>

namespace sim {

namespace {

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

CBitErrors::CBitErrors(double rate, uint64_t seed, uint64_t stream)
    : m_logKeep(rate > 0 ? std::log1p(-rate) : 0), m_state(Mix(seed ^ Mix(stream + 1))) {
  if (On()) m_gap = DrawGap();
}

uint64_t CBitErrors::Draw() {
  m_state += 0x9E3779B97F4A7C15ull;
  return Mix(m_state);
}

uint64_t CBitErrors::DrawGap() {
  // P(gap >= k) = (1 - rate)^k: u in (0, 1], never 0, so the log is finite.
  const double u = static_cast<double>((Draw() >> 11) + 1) * 0x1p-53;
  const double gap = std::floor(std::log(u) / m_logKeep);
  if (gap >= 0x1p64) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(gap);
}

uint8_t CBitErrors::NextMask() {
  if (!On()) return 0;
  unsigned mask = 0;
  unsigned bit = 0;  // the first bit of this byte not yet decided
  while (m_gap < 8 - bit) {
    bit += static_cast<unsigned>(m_gap);
    mask |= 1u << bit;
    ++bit;
    ++m_flipped;
    m_gap = DrawGap();
  }
  m_gap -= 8 - bit;
  return static_cast<uint8_t>(mask);
}

}  // namespace sim
