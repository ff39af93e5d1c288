#pragma once
// A USB serial adapter on the handset-to-host side. It does not pass bytes on as they come:
// it holds them from the first held byte until its latency timer runs out or a packet's worth
// waits, then hands them to the host in one piece. Times are in ns and never go back.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "Scenario.h"

namespace sim {

class CUsbAdapter {
 public:
  struct Handover {
    uint64_t atNs = 0;
    std::vector<uint8_t> bytes;
    uint32_t baud = 0;
    bool endsDownload = false;
  };

  explicit CUsbAdapter(AdapterSettings settings) : m_settings(settings) {}

  // A byte that has crossed the line at atNs.
  void Push(uint8_t b, uint64_t atNs, uint32_t baud, bool endsDownload = false);
  // Ends the hold if its time is up by nowNs.
  void Expire(uint64_t nowNs);
  // Hand-overs made by nowNs (the hold ended first if its time is up), in order.
  std::vector<Handover> Take(uint64_t nowNs);
  // Every hand-over made so far, whenever it is due.
  std::vector<Handover> TakeMade();
  // The next hand-over as the bytes so far tell: a made one, or the end of the hold.
  std::optional<uint64_t> NextNs() const;
  size_t HeldBytes() const { return m_held.bytes.size(); }
  std::optional<uint64_t> HoldEndsNs() const;
  void Clear();

 private:
  void Hand(uint64_t atNs);

  AdapterSettings m_settings;
  Handover m_held;  // atNs: when the first held byte came
  std::deque<Handover> m_made;
};

}  // namespace sim
