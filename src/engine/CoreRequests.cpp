// The requests the engine sends, framed by its driver's link and counted here in the link's
// bytes: a reply is matched to a send by how much of what the host sent had left when it came.
#include "Comm/FrameWire.h"
#include "engine/DownloadCore.h"
#include "platform/Translate.h"

using namespace engine;

void CDownloadCore::SendPayload(std::vector<uint8_t> payload, bool dload, std::string log) {
  if (!payload.empty()) m_lastCmd = payload[0];
  m_lastFrameBytes = wire::FrameSize(payload.data(), payload.size(), dload || m_crc30);
  m_txEnd += m_lastFrameBytes;
  m_lastPayload = payload;
  m_lastDload = dload;
  Emit(SendFrame{std::move(payload), dload, std::move(log)});
}

void CDownloadCore::ResendLastPacket() { SendPayload(m_lastPayload, m_lastDload, std::string()); }

void CDownloadCore::SendVersionReq() { SendPayload({0x00}, false, Tr("단말기 버젼 확인중")); }

void CDownloadCore::SendDmOfflineReq() { SendPayload({0x29, 0x01, 0x00}, false, Tr("모드 변환 DM OFFLINE 요청")); }

void CDownloadCore::SendDloadModeReq() { SendPayload({0x3A}, false, Tr("다운로드 모드로 변환 요청")); }

void CDownloadCore::SendDloadStartReq() { SendPayload({0xA0}, true, Tr("다운로드 시작 요청")); }

void CDownloadCore::SendModuleCopyReq() { SendPayload({0xB0}, true, Tr("다운로드 모듈 COPY 요청")); }

void CDownloadCore::SendBaudRateReq(uint8_t speedIndex) {
  SendPayload({0xF0, speedIndex}, true, Tr("Baud rate set 요청"));
}

void CDownloadCore::SendJumpReq() { SendPayload({0xC0}, true, Tr("Jump 요청")); }

void CDownloadCore::SendFlashEraseReq(uint32_t start, uint32_t length) {
  std::vector<uint8_t> p(9, 0);
  p[0] = 0xEE;
  for (int i = 0; i < 4; ++i) {
    p[1 + i] = static_cast<uint8_t>(start >> (8 * i));
    p[5 + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  SendPayload(std::move(p), true, Tr("Flash erase 요청"));
}

void CDownloadCore::SendToDmSequence(int step) {
  m_lastCmd = static_cast<uint8_t>(step);
  m_txEnd += wire::ToDmSequenceSize(step);
  Emit(SendToDm{step});
}
