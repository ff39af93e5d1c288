#pragma once
// The window's private members, for unit tests of its single steps (judging one reply, the
// version question, the data exchange). Tests of whole commands use the events and View().
#include "TarviselDlg.h"

class CTarviselDlgProbe {
 public:
  explicit CTarviselDlgProbe(CTarviselDlg& dlg) : d(dlg) {}

  // The reply to be judged, as WM_RX_PACKET would leave it.
  void SetReply(const RxPacket& packet) {
    d.m_comm.StoreResponse(packet);
    d.m_pResp = d.m_comm.m_RxBuf.data();
  }
  bool ValidateResponse() { return d.ValidateResponse(); }
  void ParseVersionReply() { d.ParseVersionReply(); }
  bool ConfirmVersion() { return d.ConfirmVersion(); }
  void ClearPhoneInfo() { d.ClearPhoneInfo(); }

  int32_t& State() { return d.m_nState; }
  int& Type() { return d.m_nType; }
  uint32_t& PhoneRev() { return d.m_nPhoneRev; }
  uint32_t& FileVer() { return d.m_nFileVer; }
  std::string& SwVer() { return d.m_strSwVer; }
  std::string& BinPath() { return d.m_strBinPath; }
  std::string& FileVerText() { return d.m_strFileVer; }
  uint32_t& Size() { return d.m_dwSize; }
  int& PortIdx() { return d.m_nPortIdx; }
  int& SpeedIdx() { return d.m_nSpeedIdx; }
  std::string& Status() { return d.m_strStatus; }
  std::string& PcbVer() { return d.m_strPcbVer; }
  std::string& Compiled() { return d.m_strCompiled; }

 private:
  CTarviselDlg& d;
};
