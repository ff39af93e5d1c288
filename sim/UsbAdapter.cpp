#include "UsbAdapter.h"

#include <utility>

namespace sim {

namespace {
constexpr uint64_t kNsPerMs = 1000000;
}

std::optional<uint64_t> CUsbAdapter::HoldEndsNs() const {
  if (m_held.bytes.empty()) return std::nullopt;
  return m_held.atNs + uint64_t{m_settings.holdMs} * kNsPerMs;
}

void CUsbAdapter::Hand(uint64_t atNs) {
  m_held.atNs = atNs;
  m_made.push_back(std::move(m_held));
  m_held = Handover{};
}

void CUsbAdapter::Push(uint8_t b, uint64_t atNs, uint32_t baud, bool endsDownload) {
  Expire(atNs);
  // Bytes at another speed are another stream: what was held goes first. A real adapter
  // would garble them; the host's side sorts that out by the speed a burst carries.
  if (!m_held.bytes.empty() && m_held.baud != baud) Hand(atNs);
  if (m_held.bytes.empty()) {
    m_held.atNs = atNs;
    m_held.baud = baud;
  }
  m_held.bytes.push_back(b);
  m_held.endsDownload |= endsDownload;
  if (m_held.bytes.size() >= m_settings.packetBytes) Hand(atNs);
}

void CUsbAdapter::Expire(uint64_t nowNs) {
  const std::optional<uint64_t> end = HoldEndsNs();
  if (end && nowNs >= *end) Hand(*end);
}

std::vector<CUsbAdapter::Handover> CUsbAdapter::Take(uint64_t nowNs) {
  Expire(nowNs);
  std::vector<Handover> out;
  while (!m_made.empty() && m_made.front().atNs <= nowNs) {
    out.push_back(std::move(m_made.front()));
    m_made.pop_front();
  }
  return out;
}

std::vector<CUsbAdapter::Handover> CUsbAdapter::TakeMade() {
  std::vector<Handover> out(std::make_move_iterator(m_made.begin()), std::make_move_iterator(m_made.end()));
  m_made.clear();
  return out;
}

std::optional<uint64_t> CUsbAdapter::NextNs() const {
  if (!m_made.empty()) return m_made.front().atNs;
  return HoldEndsNs();
}

void CUsbAdapter::Clear() {
  m_held = Handover{};
  m_made.clear();
}

}  // namespace sim
