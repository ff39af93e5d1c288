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

inline std::vector<uint8_t> Erase(uint32_t start, uint32_t len) {
  std::vector<uint8_t> p{0xEE};
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(start >> (8 * i)));
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(len >> (8 * i)));
  return Request(0x7E, p);
}

inline std::vector<uint8_t> Block(uint32_t addr, const std::vector<uint8_t>& data, int lengthField = -1) {
  std::vector<uint8_t> p{0xDD};
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(addr >> (8 * i)));
  const uint16_t len = static_cast<uint16_t>(lengthField < 0 ? data.size() : lengthField);
  p.push_back(static_cast<uint8_t>(len));
  p.push_back(static_cast<uint8_t>(len >> 8));
  p.insert(p.end(), data.begin(), data.end());
  return Request(0x7E, p);
}

inline std::vector<uint8_t> Pattern(size_t n, uint8_t first) {
  std::vector<uint8_t> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(first + i * 31);  // 7D..7F included
  return d;
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

// A handset that starts in download mode and has been brought into its module at 57600.
inline Bench InModule(const std::string& extra = "", size_t flash = 1 << 20) {
  Bench b("start=download; jump-ms=50; " + extra, flash);
  b.Exchange("7E A0 72 55 7E", 57600);
  b.Exchange("7E B0 F3 45 7E", 57600);
  b.Exchange("7E F0 00 4F 73 7E", 57600);
  b.Exchange("7E C0 74 36 7E", 57600);
  b.Wait(100);
  EXPECT_EQ(b.model.Mode(), sim::HandsetMode::Module);
  return b;
}

}  // namespace simtest
