#pragma once
// A link over an in-memory device for the receive-path targets, and the checks every reply it
// posts must pass whatever bytes came in.
#include <cstring>
#include <memory>
#include <vector>

#include "Comm/Crc.h"
#include "Comm/LinkFlags.h"
#include "Comm/QTextQ.h"
#include "Comm/bsscomm.h"
#include "FuzzSupport.h"

namespace fuzz {

// Always open; takes what is written (all of it, or only the first bytes of the next write when
// told to fail) and reports as pending whatever the target says.
class CFuzzDevice : public CSerialDevice {
 public:
  bool Open(const std::string&) override { return m_open = true; }
  bool IsOpen() const override { return m_open; }
  bool Configure(const SerialSettings&) override { return m_open; }
  void Purge() override {}
  void ClearDtr() override {}
  void Close() override { m_open = false; }
  size_t BytesWaiting() override { return 0; }
  size_t Read(uint8_t*, size_t) override { return 0; }
  bool WriteByte(uint8_t b, int) override { return Write(&b, 1, 0) == 1; }
  size_t Write(const uint8_t* bytes, size_t count, int) override {
    size_t n = count;
    if (m_failAfter >= 0) {
      n = std::min(count, static_cast<size_t>(m_failAfter));
      m_failAfter = -1;
    }
    written.insert(written.end(), bytes, bytes + n);
    return n;
  }
  bool SetEventMask(uint32_t) override { return true; }
  bool WaitEvent(uint32_t& events) override {
    events = 0;
    return false;
  }
  void Wake() override {}
  size_t PendingOutput() override { return pending; }
  std::string LastError() const override { return {}; }

  // The next write takes only this many bytes.
  void FailNextWriteAfter(int bytes) { m_failAfter = bytes; }

  std::vector<uint8_t> written;
  size_t pending = 0;

 private:
  bool m_open = false;
  int m_failAfter = -1;
};

enum class Rx : uint8_t { Raw9600, Dload, DmCrc30, DmPlain };

inline void SetState(CBssComm& comm, Rx rx) {
  comm.m_dwBaud = rx == Rx::Raw9600 ? 9600 : 57600;
  comm.m_bDloadFraming = rx == Rx::Dload;
  comm.m_bCrc30Mode = rx == Rx::DmCrc30 ? 1 : 0;
}

// Time between reads: up to 127 ms one by one (both sides of the 100 ms silence), then whole
// seconds.
inline uint64_t GapMs(uint8_t code) { return code < 128 ? code : (code - 127u) * 1000u; }

inline bool Fcs16Ends(const uint8_t* p, size_t n) {
  if (n < 2) return false;
  const uint16_t fcs = crc::Fcs16(p, n - 2);
  return p[n - 2] == (fcs & 0xFF) && p[n - 1] == (fcs >> 8);
}

// What every delivered reply must be, given the framing it arrived in.
inline void CheckReply(const RxPacket& p, Rx rx) {
  FUZZ_CHECK(p.size <= kRxBufSize, "a reply larger than its buffer");
  FUZZ_CHECK(p.checkSize <= p.size, "more check bytes than bytes");
  FUZZ_CHECK(p.PayloadSize() + p.checkSize == p.size, "payload and check bytes do not add up");
  FUZZ_CHECK(p.size > 0, "an empty reply");
  FUZZ_CHECK(p.dload == (rx == Rx::Dload), "a reply marked with another framing");
  const bool cut = p.size == kRxBufSize && p.checkSize == 0;
  if (p.check == RxCheck::Damaged) {
    FUZZ_CHECK(rx != Rx::Raw9600, "a raw reply marked damaged");
    FUZZ_CHECK(p.checkSize == 0, "a damaged reply with check bytes");
    return;
  }
  switch (rx) {
    case Rx::Raw9600:
      FUZZ_CHECK(p.check == RxCheck::None && p.checkSize == 0, "raw replies have no check bytes");
      for (size_t i = 0; i < p.size; ++i) {
        FUZZ_CHECK(p.bytes[i] != CBssComm::kFlag && p.bytes[i] != CBssComm::kDmFlag, "a flag inside a raw reply");
      }
      break;
    case Rx::DmCrc30:
      FUZZ_CHECK(p.check == RxCheck::Crc30, "a CRC-30 reply neither checked nor damaged");
      FUZZ_CHECK(cut || p.checkSize == 4, "a CRC-30 reply without its four check bytes");
      if (!cut) {
        const uint8_t* t = p.bytes.data() + p.size - 4;
        const uint32_t sent = uint32_t{t[0]} << 24 | uint32_t{t[1]} << 16 | uint32_t{t[2]} << 8 | t[3];
        FUZZ_CHECK(sent == crc::Crc30(p.bytes.data(), (p.size - 4) * size_t{8}), "a CRC-30 reply that does not check");
      }
      break;
    case Rx::Dload:
    case Rx::DmPlain:
      FUZZ_CHECK(p.check == RxCheck::FcsMatch || p.check == RxCheck::FcsMismatch, "a two-byte-check reply unjudged");
      FUZZ_CHECK(cut || p.checkSize == 2, "a two-byte-check reply without them");
      FUZZ_CHECK(p.size >= 3, "a reply shorter than a code and its check");
      if (!cut) {
        FUZZ_CHECK(Fcs16Ends(p.bytes.data(), p.size) == (p.check == RxCheck::FcsMatch),
                   "a reply whose FCS-16 verdict is wrong");
      }
      break;
  }
}

// The link and the reply checks; replies are also kept for the target to look at.
class CFuzzLink : public CMessageTarget {
 public:
  CFuzzLink() {
    auto device = std::make_unique<CFuzzDevice>();
    dev = device.get();
    comm = std::make_unique<CBssComm>(std::move(device));
    comm->SetDevicePath("fuzz");
    comm->SetPause([](unsigned) {});
    comm->InitComm(this, &textQ);
  }
  ~CFuzzLink() override {
    comm.reset();
    g_bCommOpen = false;
  }
  CFuzzLink(const CFuzzLink&) = delete;
  CFuzzLink& operator=(const CFuzzLink&) = delete;

  using CMessageTarget::PostMessage;
  void PostMessage(const WindowMessage& msg) override {
    if (msg.message == WM_LOG_TEXT) {
      CQTextEntry e;
      while (textQ.Get(e)) ++logLines;
      return;
    }
    FUZZ_CHECK(msg.message == WM_RX_PACKET, "an unexpected message");
    CheckReply(msg.packet, rx);
    if (onReply) onReply(msg.packet);
    ++replies;
  }
  void Set(Rx state) {
    rx = state;
    SetState(*comm, state);
  }
  // One read: bytes counted towards the flags they carry.
  void Read(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) flags += b == CBssComm::kFlag;
    comm->ParseRxData(bytes.data(), static_cast<int>(bytes.size()), now);
    FUZZ_CHECK(replies + logLines <= flags, "more replies and errors than frames closed");
  }

  CQTextQ textQ;
  CFuzzDevice* dev = nullptr;
  std::unique_ptr<CBssComm> comm;
  Rx rx = Rx::DmCrc30;
  uint64_t now = 1000;
  size_t flags = 0, replies = 0, logLines = 0;
  std::function<void(const RxPacket&)> onReply;
};

}  // namespace fuzz
