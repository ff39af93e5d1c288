// Judging replies by the engine state, the version reply's texts and the version question.
#include <gtest/gtest.h>

#include "support/Bytes.h"
#include "ResponseCheck.h"
#include "support/DlgFixture.h"
#include "support/DlgProbe.h"

namespace {

class DlgResponseTest : public DlgFixture {
 protected:
  void Reply(const std::vector<uint8_t>& bytes) {
    RxPacket packet;
    std::copy(bytes.begin(), bytes.end(), packet.bytes.begin());
    packet.size = static_cast<uint16_t>(bytes.size());
    Probe().SetReply(packet);
  }
  CTarviselDlgProbe Probe() { return CTarviselDlgProbe(*dlg); }
  // The texts the check queued, with their kinds.
  std::vector<CQTextEntry> Queued() {
    std::vector<CQTextEntry> out;
    CQTextEntry e;
    while (dlg->TextQ().Get(e)) out.push_back(e);
    return out;
  }
  std::vector<uint8_t> VersionReply(uint16_t rev, const std::string& sw = "ABCDEFGH") {
    std::vector<uint8_t> r(52, ' ');
    r[0] = 0x00;
    auto put = [&](size_t at, const std::string& s) { std::copy(s.begin(), s.end(), r.begin() + at); };
    put(1, "Dec 07 2026");
    put(12, "14:05:59");
    put(20, "PCB REV 1.2");
    put(31, "BOARD-A ");
    put(39, sw);
    r[50] = static_cast<uint8_t>(rev);
    r[51] = static_cast<uint8_t>(rev >> 8);
    return r;
  }
};

struct CheckCase {
  const char* name;
  int32_t state;
  uint8_t lastCmd;
  const char* reply;
  bool accepted;
  const char* log;  // nullptr: nothing logged
  int32_t kind;
};

TEST_F(DlgResponseTest, EachStateJudgesByItsOwnTable) {
  const CheckCase cases[] = {
      {"version echo", DL_VERSION, 0x00, "version", true, "Mobile version received", 1},
      {"version reply shorter than its layout", DL_VERSION, 0x00, "00 01 02", false,
       "Mobile version reply too short: 3 bytes", 3},
      {"empty dm reply", DL_VERSION, 0x00, "", false, "Unknown error!!", 3},
      {"empty download reply", DL_DOWNLOAD, 0xDD, "", false, "Unknown error!!", 3},
      {"dm offline echo", DL_DM_OFFLINE, 0x29, "29 01 00", true, "Mobile entered DM_OFFLINE mode", 1},
      {"download mode echo", DL_DLOAD_MODE, 0x3A, "3A", true, "Mobile entered DOWNLOAD mode", 1},
      {"other echo: an empty line", DL_INFO, 0x0C, "0C", true, "", 1},
      {"echo beats the error code", DL_VERSION, 0x13, "13", true, "", 1},
      {"invalid command", DL_VERSION, 0x00, "13 00", false, "Invalid Command Response", 3},
      {"invalid length", DL_INFO, 0x00, "15", false, "Invalid packet length Response", 3},
      {"not allowed", DL_VERSION, 0x00, "18", false, "Packet not allowed in this mode", 3},
      {"00 after dm offline", DL_DM_OFFLINE, 0x29, "00", false, "Unknown error!!", 3},
      {"before any command", -1, 0x00, "version", true, "Mobile version received", 1},
      {"ack", DL_DOWNLOAD, 0xDD, "02", true, nullptr, 0},
      {"crc nak", DL_DOWNLOAD, 0xDD, "A1", false, "CRC ERROR!!", 3},
      {"too large", DL_DOWNLOAD, 0xA0, "A2", false, "Too large packet!!", 3},
      {"invalid command nak", DL_DOWNLOAD, 0xA0, "A3", false, "Invalid command!!", 3},
      {"flash error", DL_DOWNLOAD, 0xEE, "A4", false, "Flash error!!", 3},
      {"undefined download code", DL_DOWNLOAD, 0xEE, "05", false, "Unknown error!!", 3},
      {"echo means nothing in download mode", DL_DOWNLOAD, 0xDD, "DD", false, "Unknown error!!", 3},
      {"todm answer", DL_TO_DM, 0, "AA AF 00", true, nullptr, 0},
      {"todm wrong answer", DL_TO_DM, 0, "AA AE", false, nullptr, 0},
      {"todm half answer", DL_TO_DM, 0, "AA", false, nullptr, 0},
  };
  for (const auto& c : cases) {
    Probe().State() = c.state;
    Probe().LastCmd() = c.lastCmd;
    Reply(std::string(c.reply) == "version" ? VersionReply(203) : Hex(c.reply));
    if (std::string(c.reply) == "AA") Probe().ReplyBytes()[1] = 0;  // older bytes must not help
    EXPECT_EQ(Probe().ValidateResponse(), c.accepted) << c.name;
    auto q = Queued();
    if (!c.log) {
      EXPECT_TRUE(q.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(q.size(), 1u) << c.name;
    EXPECT_EQ(q[0].m_strText, c.log) << c.name;
    EXPECT_EQ(q[0].m_nKind, c.kind) << c.name;
  }
}

TEST_F(DlgResponseTest, VersionReplyFillsThePhoneInformation) {
  struct {
    uint16_t rev;
    const char* sw;
  } cases[] = {{203, "Ver02.03    ABCDEFGH"}, {5, "Ver00.05    ABCDEFGH"}, {12345, "Ver12.34    ABCDEFGH"}};
  for (const auto& c : cases) {
    Reply(VersionReply(c.rev));
    Probe().ParseVersionReply();
    EXPECT_EQ(Probe().PhoneRev(), c.rev);
    EXPECT_EQ(Probe().SwVer(), c.sw);
    EXPECT_EQ(win.Controls().GetText(IDC_SW_VERSION), c.sw);
  }
  EXPECT_EQ(Probe().Compiled(), "Dec 07 2026 14:05:59");
  EXPECT_EQ(Probe().PcbVer(), "PCB REV 1.2 BOARD-A ");
  EXPECT_EQ(win.Controls().GetText(IDC_COMPILED), "Dec 07 2026 14:05:59");
  // Each parse first blanks the fields for 300 ms.
  ASSERT_EQ(win.Pauses().size(), 3u);
  EXPECT_EQ(win.Pauses()[0].ms, 300u);
}

TEST_F(DlgResponseTest, HandsetTextsAreDecodedAndEndAtAZeroByte) {
  auto r = VersionReply(1, std::string("AB\0CDEFG", 8));
  r[20] = 0xB1;  // 굴림 in the handset's code page
  r[21] = 0xBC;
  r[22] = 0xB8;
  r[23] = 0xB2;
  r[24] = 0;
  r[5] = 0xFF;  // not a character at all
  Reply(r);
  Probe().ParseVersionReply();
  EXPECT_EQ(Probe().SwVer(), "Ver00.01    AB");
  EXPECT_EQ(Probe().PcbVer(), "굴림") << "the zero byte ends the whole text";
  EXPECT_EQ(Probe().Compiled(), "Dec \xEF\xBF\xBD" "7 2026 14:05:59");
}

TEST_F(DlgResponseTest, TheQuestionIsAskedOnlyWhenRevisionsDiffer) {
  struct {
    int type;
    uint32_t phone, file;
    bool asks;
    int answer;
    bool result;
  } cases[] = {
      {TYPE_NORMAL, 203, 203, false, 0, true},
      {TYPE_NORMAL, 203, 204, true, IDYES, true},
      {TYPE_CHANGE_NORMAL, 203, 204, true, IDNO, false},
      {TYPE_FONT, 1, 999, false, 0, true},
  };
  for (const auto& c : cases) {
    Probe().CoreType() = c.type;
    Probe().PhoneRev() = c.phone;
    Probe().FileVer() = c.file;
    const size_t boxes = win.MessageBoxes().size();
    if (c.asks) win.ExpectMessageBox("S/W version is different. Downloading continue?", c.answer);
    EXPECT_EQ(Probe().ConfirmVersion(), c.result);
    ASSERT_EQ(win.MessageBoxes().size(), boxes + (c.asks ? 1 : 0));
    if (c.asks) {
      EXPECT_EQ(win.MessageBoxes().back().type, MB_YESNO);
    }
  }
}

TEST_F(DlgResponseTest, ClearingThePhoneInformationBlanksItForAMoment) {
  Probe().SwVer() = "x";
  Probe().PhoneRev() = 7;
  dlg->UpdateData(false);
  Probe().ClearPhoneInfo();
  EXPECT_EQ(Probe().PhoneRev(), 0u);
  EXPECT_EQ(win.Controls().GetText(IDC_SW_VERSION), "");
  ASSERT_EQ(win.Pauses().size(), 1u);
  EXPECT_EQ(win.Pauses()[0].ms, 300u);
}

}  // namespace
