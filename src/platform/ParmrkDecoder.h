#pragma once
// Undoes the input marking of the tty line discipline (PARMRK set, ISTRIP clear):
//   FF FF     -> the data byte FF
//   FF 00 00  -> a break (a framing error on a NUL byte looks the same on the wire)
//   FF 00 xx  -> a framing or parity error on byte xx; xx is dropped, it is not data
// A sequence split between two reads is completed by the next call. Pure: no tty needed.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class CParmrkDecoder {
 public:
  struct Marks {
    size_t breaks = 0;
    size_t errors = 0;  // framing or parity errors
  };

  // Appends the data bytes of in to out.
  void Decode(std::span<const uint8_t> in, std::vector<uint8_t>& out);
  // 1 while a lone FF waits for the byte that tells what it is, else 0.
  size_t HeldData() const { return m_state == State::Mark ? 1 : 0; }
  bool Idle() const { return m_state == State::Data; }
  // The marks seen since the last call.
  Marks TakeMarks();
  // Forgets a partial sequence and the marks (after a purge or a reopen).
  void Reset();

 private:
  enum class State : uint8_t { Data, Mark, MarkZero };
  State m_state = State::Data;
  Marks m_marks;
};
