// Judging the handset's replies by the engine state, and the version reply's phone information.
#include <cstdio>
#include <string>

#include "TarviselDlg.h"
#include "platform/CodePage.h"

namespace {

struct ReplyText {
  uint8_t code;
  const char* text;
};

constexpr ReplyText kDmAccepted[] = {
    {0x00, "Mobile version received"},
    {0x29, "Mobile entered DM_OFFLINE mode"},
    {0x3A, "Mobile entered DOWNLOAD mode"},
};
constexpr ReplyText kDmErrors[] = {
    {0x13, "Invalid Command Response"},
    {0x15, "Invalid packet length Response"},
    {0x18, "Packet not allowed in this mode"},
};
constexpr ReplyText kDloadNaks[] = {
    {0xA1, "CRC ERROR!!"},
    {0xA2, "Too large packet!!"},
    {0xA3, "Invalid command!!"},
    {0xA4, "Flash error!!"},
};
constexpr const char* kUnknownError = "Unknown error!!";
constexpr uint8_t kAck = 0x02;
constexpr uint8_t kVersionCmd = 0x00;
// The version reply is read up to its revision at offsets 50 and 51.
constexpr size_t kVersionReplySize = 52;

template <size_t N>
const char* Lookup(const ReplyText (&table)[N], uint8_t code, const char* otherwise) {
  for (const auto& row : table) {
    if (row.code == code) return row.text;
  }
  return otherwise;
}

// Fixed-offset texts of the version reply, cut at the first zero byte as a C string would be.
std::string HandsetText(const std::string& raw) {
  const size_t nul = raw.find('\0');
  return Cp949ToUtf8(nul == std::string::npos ? raw : raw.substr(0, nul));
}

std::string Bytes(const uint8_t* p, size_t offset, size_t n) {
  return std::string(reinterpret_cast<const char*>(p + offset), n);
}

}  // namespace

bool CTarviselDlg::ValidateResponse() {
  switch (m_nState) {
    case DL_DOWNLOAD:
      return CheckDloadResponse();
    case DL_TO_DM:
      return CheckToDmResponse();
    default:
      return CheckDmResponse();
  }
}

bool CTarviselDlg::CheckDmResponse() {
  if (m_comm.GetRxSize() == 0) {
    QueueLog(3, kUnknownError);
    return false;
  }
  const uint8_t code = m_pResp[0];
  if (code == m_comm.GetLastCmd()) {
    if (code == kVersionCmd && m_comm.GetRxSize() < kVersionReplySize) {
      QueueLog(3, "Mobile version reply too short: " + std::to_string(m_comm.GetRxSize()) + " bytes");
      return false;
    }
    QueueLog(1, Lookup(kDmAccepted, code, ""));
    return true;
  }
  QueueLog(3, Lookup(kDmErrors, code, kUnknownError));
  return false;
}

bool CTarviselDlg::CheckDloadResponse() {
  if (m_comm.GetRxSize() == 0) {
    QueueLog(3, kUnknownError);
    return false;
  }
  const uint8_t code = m_pResp[0];
  if (code == kAck) return true;
  QueueLog(3, Lookup(kDloadNaks, code, kUnknownError));
  return false;
}

bool CTarviselDlg::CheckToDmResponse() {
  return m_comm.GetRxSize() >= 2 && m_pResp[0] == 0xAA && m_pResp[1] == 0xAF;
}

void CTarviselDlg::ClearPhoneInfo() {
  m_nPhoneRev = 0;
  m_strSwVer.clear();
  m_strCompiled.clear();
  m_strPcbVer.clear();
  UpdateData(false);
  m_services.Pause(300);
}

void CTarviselDlg::ParseVersionReply() {
  ClearPhoneInfo();
  if (m_comm.GetRxSize() < kVersionReplySize) return;  // judged too short before it got here
  const uint8_t* p = m_pResp;
  const uint16_t rev = static_cast<uint16_t>(p[50] | (p[51] << 8));
  m_nPhoneRev = rev;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(rev));
  const std::string d(digits, 4);
  m_strSwVer = HandsetText("Ver" + d.substr(0, 2) + "." + d.substr(2, 2) + "    " + Bytes(p, 39, 8));
  m_strCompiled = HandsetText(Bytes(p, 1, 11) + " " + Bytes(p, 12, 8));
  m_strPcbVer = HandsetText(Bytes(p, 20, 11) + " " + Bytes(p, 31, 8));
  UpdateData(false);
}

bool CTarviselDlg::ConfirmVersion() {
  UpdateData(false);
  if (m_nType == TYPE_FONT) return true;
  if (m_nPhoneRev == m_nFileVer) return true;
  return m_services.MessageBox("S/W version is different. Downloading continue?", "", MB_YESNO) != IDNO;
}
