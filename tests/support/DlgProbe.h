#pragma once
// The window's and its engine's private members, for unit tests of single steps (judging one
// reply, the version question, the data exchange). Tests of whole commands use the events and
// View(). What the engine leaves is carried out by the window at once.
#include "TarviselDlg.h"

class CTarviselDlgProbe {
 public:
  explicit CTarviselDlgProbe(CTarviselDlg& dlg) : d(dlg) {}

  // The reply to be judged, as WM_RX_PACKET would leave it.
  void SetReply(const RxPacket& packet) {
    d.m_comm.StoreResponse(packet);
    d.m_core.m_rxPacket = packet;
  }
  std::array<uint8_t, kRxBufSize>& ReplyBytes() { return d.m_core.m_rxPacket.bytes; }
  bool ValidateResponse() {
    const bool accepted = d.m_core.ValidateResponse();
    d.Drive();
    return accepted;
  }
  void ParseVersionReply() {
    d.m_core.ParseVersionReply();
    d.Drive();
  }
  // True when the download goes on (to DM offline), at once or on the answer Yes. Only the
  // question is carried out: the window's link is not started.
  bool ConfirmVersion() {
    d.m_core.m_nState = DL_VERSION;
    d.m_core.ConfirmVersion();
    for (const engine::Action& a : d.m_core.TakeActions()) {
      if (std::holds_alternative<engine::AskVersion>(a)) d.Apply(a);
    }
    d.m_core.TakeActions();
    return d.m_core.m_nState == DL_DM_OFFLINE;
  }
  void ClearPhoneInfo() {
    d.m_core.ClearPhoneInfo();
    d.Drive();
  }

  int32_t& State() { return d.m_core.m_nState; }
  uint8_t& LastCmd() { return d.m_core.m_lastCmd; }
  int& CoreType() { return d.m_core.m_nType; }
  uint32_t& PhoneRev() { return d.m_core.m_nPhoneRev; }
  uint32_t& FileVer() { return d.m_core.m_nFileVer; }
  int& Type() { return d.m_nType; }
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
