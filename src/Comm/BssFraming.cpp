// The frame codec: flags, escaping and FCS-16 on the way out; assembly, unescaping and the
// CRC-30 check on the way in.
#include <algorithm>
#include <cstring>

#include "Comm/Crc.h"
#include "Comm/bsscomm.h"

namespace {
constexpr const char* kBadFrameText = "\n[RX]Bad CRC in response packet\n";
}

void CBssComm::SendPacket(const uint8_t* payload, uint16_t len) {
  const size_t n = std::min<size_t>(len, kMaxPacket);
  if (payload != m_LastPkt.data()) std::memmove(m_LastPkt.data(), payload, n);
  m_nLastLen = static_cast<int32_t>(n);
  const uint8_t* p = m_LastPkt.data();

  // The frame is put together first and written in one go: the same bytes in the same order,
  // without a system call for each of them.
  uint8_t* f = m_TxFrame.data();
  size_t k = 0;
  auto put = [f, &k](uint8_t b) {
    if (NeedEscape(b)) {
      f[k++] = kEscape;
      f[k++] = static_cast<uint8_t>(b ^ kEscapeXor);
    } else {
      f[k++] = b;
    }
  };
  if (m_bDloadFraming) {
    f[k++] = kFlag;
  } else if (m_bCrc30Mode == 1) {
    f[k++] = kDmFlag;
  }
  if (n > 0) m_nLastCmd = p[0];

  uint16_t fcs = crc::kFcs16Init;
  for (size_t i = 0; i < n; ++i) {
    put(p[i]);
    fcs = crc::Fcs16Step(fcs, p[i]);
  }
  fcs = static_cast<uint16_t>(~fcs);
  put(static_cast<uint8_t>(fcs & 0xFF));
  put(static_cast<uint8_t>(fcs >> 8));
  f[k++] = kFlag;
  WriteComm(f, k);
}

void CBssComm::ResendLastPacket() {
  SendPacket(m_LastPkt.data(), static_cast<uint16_t>(m_nLastLen));
}

void CBssComm::WriteRawByte(uint8_t b) { PutByte(b, false); }

bool CBssComm::PutByte(uint8_t b, bool escape) {
  if (!escape) return WriteCommByte(b);
  const bool first = WriteCommByte(kEscape);
  const bool second = WriteCommByte(static_cast<uint8_t>(b ^ kEscapeXor));
  return first && second;
}

bool CBssComm::ParseRxData(const uint8_t* data, int count) {
  bool overflow = false;
  for (int i = 0; i < count; ++i) {
    if (m_nRxCount >= kRxFrameSize) {
      m_nRxCount = 0;  // this byte is dropped; the rest start a new frame
      overflow = true;
      continue;
    }
    m_RxFrame[m_nRxCount++] = data[i];
  }
  if (overflow) return false;
  if (m_nRxCount == 0 || m_RxFrame[m_nRxCount - 1] != kFlag) return true;

  m_RxPayload.fill(0);
  int j = 0;
  for (int i = 0; i < m_nRxCount; ++i) {
    const uint8_t b = m_RxFrame[i];
    if (b != kFlag && b != kDmFlag) m_RxPayload[j++] = b;
  }
  m_nRxCount = 0;

  if (m_dwBaud == 9600) {
    DeliverPacket(m_RxPayload.data(), j);
    return true;
  }
  int decoded = 0;
  bool accepted;
  if (m_bDloadFraming) {
    accepted = DecodeDload(j, decoded);
  } else if (m_bCrc30Mode == 1) {
    accepted = DecodeCrc30(j, decoded);
  } else {
    accepted = DecodePlain(j, decoded);
  }
  if (accepted) {
    DeliverPacket(m_RxPayload.data(), decoded);
  } else {
    LogError(kBadFrameText);
  }
  return true;
}

namespace {
// Unescapes `count` bytes of src into dst; returns the bytes written. A trailing escape takes
// the zero that follows the frame in the cleared buffer, as the handset's peers always have.
int Unescape(const uint8_t* src, int count, uint8_t* dst) {
  int m = 0;
  for (int i = 0; i < count; ++i) {
    if (src[i] == CBssComm::kEscape) {
      ++i;
      dst[m++] = static_cast<uint8_t>(src[i] ^ CBssComm::kEscapeXor);
    } else {
      dst[m++] = src[i];
    }
  }
  return m;
}
}  // namespace

bool CBssComm::DecodePlain(int count, int& decoded) {
  m_RxScratch = m_RxPayload;
  if (count < 3) return false;
  decoded = Unescape(m_RxScratch.data(), count, m_RxPayload.data());
  return true;
}

// Download-mode replies are as unchecked as plain DM ones.
bool CBssComm::DecodeDload(int count, int& decoded) { return DecodePlain(count, decoded); }

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

uint32_t CBssComm::Crc30(const uint8_t* data, size_t bits) { return crc::Crc30(data, bits); }

void CBssComm::DeliverPacket(const uint8_t* bytes, int count) {
  if (!m_pOwner) return;
  WindowMessage msg;
  msg.message = WM_RX_PACKET;
  const size_t n = std::min<size_t>(static_cast<size_t>(std::max(count, 0)), kRxBufSize);
  std::memcpy(msg.packet.bytes.data(), bytes, n);
  msg.packet.size = static_cast<uint16_t>(n);
  m_pOwner->PostMessage(msg);
}

void CBssComm::StoreResponse(const RxPacket& packet) {
  std::memcpy(m_RxBuf.data(), packet.bytes.data(), std::min<size_t>(packet.size, kRxBufSize));
}
