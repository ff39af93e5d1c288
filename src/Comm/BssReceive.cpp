// The receive half of the frame codec: assembly of frames across reads, unescaping, and the
// check of each reply by its framing.
//
// A frame ends at every 0x7E, however the bytes were cut into reads: USB serial adapters hand
// a reply over in pieces, and two replies may come in one read. A frame that has begun waits
// for its closing flag across reads until the line has been silent for kInterByteLimitMs; its
// bytes are then dropped as noise.
#include <algorithm>
#include <cstring>

#include "Comm/Crc.h"
#include "Comm/bsscomm.h"
#include "platform/Trace.h"

namespace {
// Unescapes `count` bytes of src into dst; returns the bytes written, or -1 when the frame ends
// inside an escape.
int Unescape(const uint8_t* src, int count, uint8_t* dst) {
  int m = 0;
  for (int i = 0; i < count; ++i) {
    if (src[i] == CBssComm::kEscape) {
      if (++i == count) return -1;
      dst[m++] = static_cast<uint8_t>(src[i] ^ CBssComm::kEscapeXor);
    } else {
      dst[m++] = src[i];
    }
  }
  return m;
}

bool Fcs16Matches(const uint8_t* p, int m) {
  if (m < 2) return false;
  const uint16_t fcs = crc::Fcs16(p, static_cast<size_t>(m - 2));
  return p[m - 2] == (fcs & 0xFF) && p[m - 1] == (fcs >> 8);
}
}  // namespace

bool CBssComm::ParseRxData(const uint8_t* data, int count, uint64_t nowMs) {
  if (nowMs - m_nLastRxMs > kInterByteLimitMs) {
    if (m_nRxCount > 0) {
      trace::Printf("rx: %d bytes without a closing flag dropped after %llu ms of silence\n", m_nRxCount,
                    static_cast<unsigned long long>(nowMs - m_nLastRxMs));
    }
    m_nRxCount = 0;
    m_bRxHunting = false;  // silence is as good a frame boundary as a flag
  }
  m_nLastRxMs = nowMs;
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    const uint8_t b = data[i];
    if (b == kFlag) {
      if (m_bRxHunting) {
        m_bRxHunting = false;
      } else {
        EndFrame();
      }
      continue;
    }
    if (m_bRxHunting || b == kDmFlag) continue;  // an opening 0x7F is no part of the reply
    if (m_nRxCount >= kRxFrameSize) {
      // Too long for any reply: drop it all up to the next flag.
      m_nRxCount = 0;
      m_bRxHunting = true;
      ok = false;
      continue;
    }
    m_RxFrame[m_nRxCount++] = b;
  }
  return ok;
}

void CBssComm::EndFrame() {
  const int j = m_nRxCount;
  m_nRxCount = 0;
  if (j == 0) return;  // two flags in a row: the first closed nothing, the second may open
  m_RxPayload.fill(0);
  std::memcpy(m_RxPayload.data(), m_RxFrame.data(), static_cast<size_t>(j));

  if (m_dwBaud == 9600) {
    DeliverPacket(m_RxPayload.data(), j, 0, RxCheck::None);
    return;
  }
  int decoded = 0;
  RxCheck check;
  if (m_bDloadFraming || m_bCrc30Mode != 1) {
    check = DecodeTwoByteCheck(j, decoded);
  } else {
    check = DecodeCrc30(j, decoded) ? RxCheck::Crc30 : RxCheck::Damaged;
  }
  if (check == RxCheck::Damaged) {
    // Handed on all the same: a damaged reply is still a sign of a handset at work.
    DeliverPacket(m_RxScratch.data(), j, 0, RxCheck::Damaged);
    return;
  }
  DeliverPacket(m_RxPayload.data(), decoded, check == RxCheck::Crc30 ? 4 : 2, check);
}

// Plain DM and download-mode replies: unescaped, their two trailing bytes compared with the
// FCS-16 of the bytes before them.
RxCheck CBssComm::DecodeTwoByteCheck(int count, int& decoded) {
  m_RxScratch = m_RxPayload;
  if (count < 3) return RxCheck::Damaged;
  const int m = Unescape(m_RxScratch.data(), count, m_RxPayload.data());
  if (m < 3) return RxCheck::Damaged;
  decoded = m;
  return Fcs16Matches(m_RxPayload.data(), m) ? RxCheck::FcsMatch : RxCheck::FcsMismatch;
}

bool CBssComm::DecodePlain(int count, int& decoded, int& checkSize) {
  checkSize = 2;
  return DecodeTwoByteCheck(count, decoded) != RxCheck::Damaged;
}

bool CBssComm::DecodeDload(int count, int& decoded, int& checkSize) {
  return DecodePlain(count, decoded, checkSize);
}

bool CBssComm::DecodeCrc30(int count, int& decoded) {
  m_RxScratch = m_RxPayload;
  if (count < 4) return false;
  const int m = Unescape(m_RxScratch.data(), count, m_RxPayload.data());
  if (m < 4) return false;
  const uint8_t* t = m_RxPayload.data() + m - 4;
  const uint32_t sent = (uint32_t{t[0]} << 24) | (uint32_t{t[1]} << 16) | (uint32_t{t[2]} << 8) | t[3];
  if (sent != Crc30(m_RxPayload.data(), static_cast<size_t>(m - 4) * 8)) return false;
  decoded = m;
  return true;
}

bool CBssComm::DecodeCrc30(int count, int& decoded, int& checkSize) {
  checkSize = 4;
  return DecodeCrc30(count, decoded);
}

uint32_t CBssComm::Crc30(const uint8_t* data, size_t bits) { return crc::Crc30(data, bits); }

uint64_t CBssComm::TxBytesOut() const {
  // The count first: a chunk handed over between the two reads then counts as still pending,
  // which errs towards "not yet out".
  const uint64_t handed = m_nTxHanded.load();
  const uint64_t pending = m_device->PendingOutput();
  return handed > pending ? handed - pending : 0;
}

uint64_t CBssComm::TxBytesWritten() const {
  const uint64_t handed = m_nTxHanded.load();
  const uint64_t queued = m_device->QueuedOutput();
  return handed > queued ? handed - queued : 0;
}

void CBssComm::DeliverPacket(const uint8_t* bytes, int count, int checkSize, RxCheck check) {
  if (!m_pOwner) return;
  WindowMessage msg;
  msg.message = WM_RX_PACKET;
  const size_t n = std::min<size_t>(static_cast<size_t>(std::max(count, 0)), kRxBufSize);
  std::memcpy(msg.packet.bytes.data(), bytes, n);
  msg.packet.size = static_cast<uint16_t>(n);
  // A reply cut to the buffer has lost its check bytes, not its code.
  msg.packet.checkSize = static_cast<uint8_t>(n == static_cast<size_t>(count) ? checkSize : 0);
  msg.packet.check = check;
  msg.packet.dload = m_bDloadFraming != 0;
  msg.packet.hostBytesOut = TxBytesOut();
  msg.packet.hostBytesWritten = TxBytesWritten();
  msg.packet.rxMs = m_nLastRxMs;
  m_pOwner->PostMessage(msg);
}

void CBssComm::StoreResponse(const RxPacket& packet) {
  std::memcpy(m_RxBuf.data(), packet.bytes.data(), std::min<size_t>(packet.size, kRxBufSize));
  m_nRxSize = packet.PayloadSize();
  m_nRxBytesOut = packet.hostBytesOut;
  m_nRxBytesWritten = packet.hostBytesWritten;
  m_nRxMs = packet.rxMs;
  m_nRxCheck = packet.check;
  m_bRxDload = packet.dload;
  m_nRxFullSize = std::min<size_t>(packet.size, kRxBufSize);
}
