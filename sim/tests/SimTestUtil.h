#pragma once
// Helpers for the handset tests: hex text to bytes and back, and a model driven in virtual time.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Comm/Crc.h"
#include "HandsetModel.h"

namespace simtest {

inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string tok;
  while (in >> tok) out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
  return out;
}

inline std::string ToHex(const std::vector<uint8_t>& b) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < b.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  return s;
}

// A host request as a test writes it: opening flag (0 for none), escaped payload and FCS, 7E.
// Kept apart from both the link's and the handset's codecs.
inline std::vector<uint8_t> Request(uint8_t opening, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> body = payload;
  const uint16_t f = crc::Fcs16(payload.data(), payload.size());
  body.push_back(static_cast<uint8_t>(f));
  body.push_back(static_cast<uint8_t>(f >> 8));
  std::vector<uint8_t> out;
  if (opening) out.push_back(opening);
  for (uint8_t b : body) {
    if (b >= 0x7D && b <= 0x7F) {
      out.push_back(0x7D);
      out.push_back(b ^ 0x20);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0x7E);
  return out;
}

inline std::vector<uint8_t> Unescape(const std::vector<uint8_t>& wire) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == 0x7E) continue;
    out.push_back(wire[i] == 0x7D && i + 1 < wire.size() ? wire[++i] ^ 0x20 : wire[i]);
  }
  return out;
}

// A model with a clock the test moves.
struct Bench {
  explicit Bench(const std::string& scenarioText = "", size_t flash = 1 << 20) : model(Parse(scenarioText), flash) {}

  static sim::CScenario Parse(const std::string& text) {
    sim::CScenario s;
    std::string error;
    if (!s.Parse(text, error)) ADD_FAILURE() << "scenario: " << error;
    return s;
  }

  void Send(const std::vector<uint8_t>& wire, uint32_t baud) { model.OnHostBytes(wire.data(), wire.size(), baud, now); }
  void Send(const std::string& hex, uint32_t baud) { Send(Hex(hex), baud); }
  // All bursts due within `ms` from now, taken each at its due time (the clock stops at the
  // last of them, so a mode change due later has not happened yet).
  std::vector<sim::Burst> Bursts(uint64_t ms = 10000) {
    std::vector<sim::Burst> out;
    const uint64_t until = now + ms;
    while (auto due = model.NextDueMs()) {
      if (*due > until) break;
      now = std::max(now, *due);
      for (auto& b : model.TakeDue(now)) out.push_back(std::move(b));
    }
    return out;
  }
  // The bytes of those bursts, joined.
  std::string Reply(uint64_t ms = 10000) {
    std::vector<uint8_t> all;
    for (const auto& b : Bursts(ms)) all.insert(all.end(), b.bytes.begin(), b.bytes.end());
    return ToHex(all);
  }
  std::string Exchange(const std::string& hex, uint32_t baud) {
    Send(hex, baud);
    return Reply();
  }
  void Wait(uint64_t ms) {
    now += ms;
    model.Advance(now);
  }

  sim::CHandsetModel model;
  uint64_t now = 1000;
};

}  // namespace simtest
