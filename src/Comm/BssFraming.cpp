// The send half of the frame codec: flags, escaping and FCS-16 on the way out.
#include <algorithm>
#include <cstring>

#include "Comm/Crc.h"
#include "Comm/bsscomm.h"

void CBssComm::SendPacket(const uint8_t* payload, uint16_t len) {
  const size_t n = std::min<size_t>(len, kMaxPacket);
  // An empty payload may come as a null pointer, which memmove must never see.
  if (n > 0 && payload != m_LastPkt.data()) std::memmove(m_LastPkt.data(), payload, n);
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
  m_nLastFrameBytes = k;
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
