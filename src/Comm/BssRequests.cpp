// The requests the tool sends to the handset, and the fixed ToDM sequences.
#include <algorithm>
#include <cstring>

#include "Comm/bsscomm.h"
#include "platform/Translate.h"

bool CBssComm::SendDm(const uint8_t* payload, uint16_t len, const char* logText) {
  m_bDloadFraming = 0;
  LogText(logText);
  SendPacket(payload, len);
  return true;
}

bool CBssComm::SendDload(const uint8_t* payload, uint16_t len, const char* logText) {
  m_bDloadFraming = 1;
  LogText(logText);
  SendPacket(payload, len);
  return true;
}

void CBssComm::SendRequest(const uint8_t* payload, size_t len, bool dload, const std::string& logText) {
  m_bDloadFraming = dload ? 1 : 0;
  if (!logText.empty()) LogText(logText);
  SendPacket(payload, static_cast<uint16_t>(std::min(len, kMaxPacket)));
}

void CBssComm::SendStatusReq() {
  const uint8_t p[] = {0x0C};
  SendDm(p, sizeof p, Tr("단말기 상태 확인중"));
}

void CBssComm::SendVersionReq() {
  const uint8_t p[] = {0x00};
  SendDm(p, sizeof p, Tr("단말기 버젼 확인중"));
}

void CBssComm::SendDmOfflineReq() {
  const uint8_t p[] = {0x29, 0x01, 0x00};
  SendDm(p, sizeof p, Tr("모드 변환 DM OFFLINE 요청"));
}

void CBssComm::SendDloadModeReq() {
  const uint8_t p[] = {0x3A};
  SendDm(p, sizeof p, Tr("다운로드 모드로 변환 요청"));
}

void CBssComm::SendDloadStartReq() {
  const uint8_t p[] = {0xA0};
  SendDload(p, sizeof p, Tr("다운로드 시작 요청"));
}

void CBssComm::SendModuleCopyReq() {
  const uint8_t p[] = {0xB0};
  SendDload(p, sizeof p, Tr("다운로드 모듈 COPY 요청"));
}

void CBssComm::SendBaudRateReq(uint8_t speedIndex) {
  const uint8_t p[] = {0xF0, speedIndex};
  SendDload(p, sizeof p, Tr("Baud rate set 요청"));
}

void CBssComm::SendJumpReq() {
  const uint8_t p[] = {0xC0};
  SendDload(p, sizeof p, Tr("Jump 요청"));
}

void CBssComm::SendFlashEraseReq(uint32_t start, uint32_t length) {
  uint8_t p[9] = {0xEE};
  for (int i = 0; i < 4; ++i) {
    p[1 + i] = static_cast<uint8_t>(start >> (8 * i));
    p[5 + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  SendDload(p, sizeof p, Tr("Flash erase 요청"));
}

void CBssComm::SendWriteBlockReq(const BlockRecord& record) {
  static_assert(BlockRecord::size() == kMaxPacket);
  m_bDloadFraming = 1;
  BlockRecord p;
  p.SetCommand(0xDD);
  p.SetAddress(record.Address());
  p.SetLength(record.Length());
  std::memcpy(p.Data(), record.Data(), std::min<size_t>(record.Length(), kBlockDataSize));
  SendPacket(p.data(), static_cast<uint16_t>(kMaxPacket));
}

namespace {
struct ToDmSequence {
  const uint8_t* bytes;
  size_t count;
};
constexpr uint8_t kToDm0[] = {0x7F, 0xAA, 0xDD, 0x7E};
constexpr uint8_t kToDm1[] = {0x7F, 0xAA, 0x1F, 0x00, 0x7E};
constexpr uint8_t kToDm2[] = {0x7F, 0xAA, 0x20, 0x04, 0x00, 0x02, 0x00, 0x01, 0x7E};
constexpr uint8_t kToDm3[] = {0x7F, 0xAA, 0x3F, 0x00, 0x7E};
constexpr ToDmSequence kToDm[] = {
    {kToDm0, sizeof kToDm0}, {kToDm1, sizeof kToDm1}, {kToDm2, sizeof kToDm2}, {kToDm3, sizeof kToDm3}};
}  // namespace

void CBssComm::SendToDmSequence(int step) {
  m_nLastCmd = static_cast<uint8_t>(step);
  if (step < 0 || step > 3) return;
  for (size_t i = 0; i < kToDm[step].count; ++i) WriteRawByte(kToDm[step].bytes[i]);
}
