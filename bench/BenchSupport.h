#pragma once
// What the benchmarks share: a link over a device that only counts what it is given, a target
// that drops posted messages, and block records of known content.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "BlockRecord.h"
#include "Comm/LinkFlags.h"
#include "Comm/QTextQ.h"
#include "Comm/bsscomm.h"
#include "platform/SerialDevice.h"
#include "platform/WindowMessage.h"

namespace bench {

class CDropTarget final : public CMessageTarget {
 public:
  void PostMessage(const WindowMessage& msg) override { m_posted += msg.message == WM_RX_PACKET; }
  // Replies delivered.
  uint64_t Posted() const { return m_posted; }

 private:
  uint64_t m_posted = 0;
};

// Takes every byte at once and keeps only their count: the codec's own cost, no system call.
class CSinkDevice final : public CSerialDevice {
 public:
  bool Open(const std::string&) override { return m_open = true; }
  bool IsOpen() const override { return m_open; }
  bool Configure(const SerialSettings&) override { return true; }
  void Purge() override {}
  void ClearDtr() override {}
  void Close() override { m_open = false; }
  size_t BytesWaiting() override { return 0; }
  size_t Read(uint8_t*, size_t) override { return 0; }
  bool WriteByte(uint8_t, int) override {
    ++m_written;
    return true;
  }
  size_t Write(const uint8_t*, size_t count, int) override {
    m_written += count;
    return count;
  }
  bool SetEventMask(uint32_t) override { return true; }
  bool WaitEvent(uint32_t& events) override {
    events = 0;
    return true;
  }
  void Wake() override {}
  std::string LastError() const override { return {}; }

  uint64_t Written() const { return m_written; }

 private:
  bool m_open = false;
  uint64_t m_written = 0;
};

// An open link on the given device, with its pauses skipped.
struct OpenLink {
  explicit OpenLink(std::unique_ptr<CSerialDevice> device, const std::string& path = "/bench/sink") {
    setenv("TARVISEL_COM1", path.c_str(), 1);
    comm = std::make_unique<CBssComm>(std::move(device));
    comm->SetPause([](unsigned) {});
    comm->InitComm(&target, &textQ);
    ok = comm->Open();
  }
  ~OpenLink() {
    comm.reset();
    g_bCommOpen = false;
  }
  OpenLink(const OpenLink&) = delete;
  OpenLink& operator=(const OpenLink&) = delete;

  CDropTarget target;
  CQTextQ textQ;
  std::unique_ptr<CBssComm> comm;
  bool ok = false;
};

enum class Content { Random = 0, Escapes = 1 };

inline const char* ContentName(int64_t arg) { return arg == 1 ? "escape-heavy" : "random"; }

// A block write of 4096 data bytes: random, or nine in ten of them 7D..7F (each escaped).
inline BlockRecord MakeBlock(Content content, uint32_t address = 0x10000) {
  BlockRecord r;
  r.SetCommand(0xDD);
  r.SetAddress(address);
  r.SetLength(static_cast<uint16_t>(kBlockDataSize));
  std::mt19937 rng(20240314);
  for (size_t i = 0; i < kBlockDataSize; ++i) {
    const uint32_t v = rng();
    r.Data()[i] = content == Content::Escapes && v % 10 != 0 ? static_cast<uint8_t>(0x7D + (v >> 8) % 3)
                                                           : static_cast<uint8_t>(v >> 24);
  }
  return r;
}

}  // namespace bench
