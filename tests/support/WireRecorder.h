#pragma once
// A device in front of another that notes every byte the host writes, with the time and the
// line speed it went out at.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"

struct WireWrite {
  uint64_t timeMs = 0;
  uint32_t baud = 0;
  std::vector<uint8_t> bytes;  // the bytes written at that time and speed, in order
};

class CWireRecorder : public CSerialDevice {
 public:
  CWireRecorder(std::unique_ptr<CSerialDevice> inner, std::function<uint64_t()> clock)
      : m_inner(std::move(inner)), m_clock(std::move(clock)) {}

  bool Open(const std::string& path) override { return m_inner->Open(path); }
  bool IsOpen() const override { return m_inner->IsOpen(); }
  bool Configure(const SerialSettings& s) override {
    const bool ok = m_inner->Configure(s);
    if (ok) m_baud = s.baud;
    return ok;
  }
  void Purge() override { m_inner->Purge(); }
  void ClearDtr() override { m_inner->ClearDtr(); }
  void Close() override { m_inner->Close(); }
  size_t BytesWaiting() override { return m_inner->BytesWaiting(); }
  size_t Read(uint8_t* dst, size_t max) override { return m_inner->Read(dst, max); }
  bool WriteByte(uint8_t b, int timeoutMs) override {
    const bool ok = m_inner->WriteByte(b, timeoutMs);
    if (ok) {
      const uint64_t now = m_clock();
      if (m_writes.empty() || m_writes.back().timeMs != now || m_writes.back().baud != m_baud)
        m_writes.push_back({now, m_baud, {}});
      m_writes.back().bytes.push_back(b);
    }
    return ok;
  }
  size_t Write(const uint8_t* bytes, size_t count, int timeoutMs) override {
    const size_t n = m_inner->Write(bytes, count, timeoutMs);
    if (n > 0) {
      const uint64_t now = m_clock();
      if (m_writes.empty() || m_writes.back().timeMs != now || m_writes.back().baud != m_baud)
        m_writes.push_back({now, m_baud, {}});
      m_writes.back().bytes.insert(m_writes.back().bytes.end(), bytes, bytes + n);
    }
    return n;
  }
  bool SetEventMask(uint32_t mask) override { return m_inner->SetEventMask(mask); }
  bool WaitEvent(uint32_t& events) override { return m_inner->WaitEvent(events); }
  void Wake() override { m_inner->Wake(); }
  size_t PendingOutput() override { return m_inner->PendingOutput(); }
  size_t QueuedOutput() override { return m_inner->QueuedOutput(); }
  std::string LastError() const override { return m_inner->LastError(); }

  // Window thread only (writes happen there).
  const std::vector<WireWrite>& Writes() const { return m_writes; }
  void Clear() { m_writes.clear(); }

 private:
  std::unique_ptr<CSerialDevice> m_inner;
  std::function<uint64_t()> m_clock;
  uint32_t m_baud = 0;
  std::vector<WireWrite> m_writes;
};
