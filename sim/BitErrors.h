#pragma once
// One direction of a noisy cable: each data bit of each byte flips with a fixed probability,
// reproducibly from a seed. The gap to the next flip is drawn (geometric), so a line with few
// errors costs a draw per flip, not one per bit.
#include <cstddef>
#include <cstdint>

namespace sim {

class CBitErrors {
 public:
  CBitErrors() = default;  // a clean line
  // stream tells apart the directions of one cable: the same seed, other errors.
  CBitErrors(double rate, uint64_t seed, uint64_t stream);

  bool On() const { return m_logKeep < 0; }
  // The bits to flip in the next byte on the line, bit 0 first as a UART sends them.
  uint8_t NextMask();
  void Damage(uint8_t* bytes, size_t n) {
    if (!On()) return;
    for (size_t i = 0; i < n; ++i) bytes[i] ^= NextMask();
  }
  uint64_t Flipped() const { return m_flipped; }

 private:
  uint64_t Draw();     // splitmix64
  uint64_t DrawGap();  // clean bits before the next flip

  double m_logKeep = 0;  // log(1 - rate); 0 on a clean line
  uint64_t m_state = 0;
  uint64_t m_gap = 0;
  uint64_t m_flipped = 0;
};

}  // namespace sim
