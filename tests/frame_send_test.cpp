// What leaves the port: flags, escaping, FCS and every request of the handset protocol.
#include <gtest/gtest.h>

#include <functional>

#include "Comm/Crc.h"
#include "support/Bytes.h"
#include "support/LinkFixture.h"

namespace {

enum class Framing { DmCrc30, DmPlain, Dload };

class FrameSendTest : public LinkFixture {
 protected:
  void SetFraming(Framing f) {
    comm->m_bDloadFraming = f == Framing::Dload;
    comm->m_bCrc30Mode = f == Framing::DmCrc30 ? 1 : 0;
  }
  std::string Send(const std::vector<uint8_t>& payload) {
    comm->SendPacket(payload.data(), static_cast<uint16_t>(payload.size()));
    return ToHex(dev->TakeWritten());
  }
};

struct PacketCase {
  const char* payload;
  Framing framing;
  const char* wire;
};

TEST_F(FrameSendTest, PayloadsFramedEscapedAndChecked) {
  OpenLink();
  const PacketCase cases[] = {
      {"0C", Framing::DmCrc30, "7F 0C 14 3A 7E"},
      {"0C", Framing::DmPlain, "0C 14 3A 7E"},
      {"00", Framing::DmCrc30, "7F 00 78 F0 7E"},
      {"29 01 00", Framing::DmCrc30, "7F 29 01 00 31 40 7E"},
      {"A0", Framing::Dload, "7E A0 72 55 7E"},
      {"7D 7E 7F", Framing::Dload, "7E 7D 5D 7D 5E 7D 5F CF 58 7E"},
      {"60", Framing::DmPlain, "60 7D 5E 93 7E"},  // the FCS low byte is escaped
      // No bytes at all (an empty vector's data() may be null): the FCS of nothing alone.
      {"", Framing::Dload, "7E 00 00 7E"},
      {"", Framing::DmCrc30, "7F 00 00 7E"},
  };
  for (const auto& c : cases) {
    SetFraming(c.framing);
    EXPECT_EQ(Send(Hex(c.payload)), c.wire) << c.payload;
  }
  // The escape set is exactly 7D..7F: its neighbours go out as they are.
  SetFraming(Framing::DmPlain);
  const uint8_t edges[] = {0x7C, 0x80, 0x00, 0xFF, 0x11, 0x13};
  const uint16_t fcs = crc::Fcs16(edges, sizeof edges);
  EXPECT_EQ(Send({edges, edges + sizeof edges}),
            "7C 80 00 FF 11 13 " + ToHex(std::vector<uint8_t>{uint8_t(fcs & 0xFF), uint8_t(fcs >> 8)}) + " 7E");
}

TEST_F(FrameSendTest, StatusRequestFollowsTheSpeedToggle) {
  OpenLink();
  comm->SendStatusReq();
  EXPECT_EQ(ToHex(dev->TakeWritten()), "7F 0C 14 3A 7E");
  comm->ToggleSpeed();
  dev->TakeWritten();
  comm->SendStatusReq();
  EXPECT_EQ(ToHex(dev->TakeWritten()), "0C 14 3A 7E");
}

struct RequestCase {
  const char* name;
  std::function<void(CBssComm&)> send;
  bool crc30;
  const char* wire;
  int32_t dloadFraming;
  const char* log;
};

TEST_F(FrameSendTest, EveryRequestOnTheWire) {
  OpenLink();
  const RequestCase cases[] = {
      {"version", [](CBssComm& c) { c.SendVersionReq(); }, true, "7F 00 78 F0 7E", 0, "단말기 버젼 확인중"},
      {"version plain", [](CBssComm& c) { c.SendVersionReq(); }, false, "00 78 F0 7E", 0, "단말기 버젼 확인중"},
      {"status", [](CBssComm& c) { c.SendStatusReq(); }, true, "7F 0C 14 3A 7E", 0, "단말기 상태 확인중"},
      {"dm offline", [](CBssComm& c) { c.SendDmOfflineReq(); }, true, "7F 29 01 00 31 40 7E", 0,
       "모드 변환 DM OFFLINE 요청"},
      {"download mode", [](CBssComm& c) { c.SendDloadModeReq(); }, true, "7F 3A A1 6E 7E", 0,
       "다운로드 모드로 변환 요청"},
      {"download start", [](CBssComm& c) { c.SendDloadStartReq(); }, true, "7E A0 72 55 7E", 1,
       "다운로드 시작 요청"},
      {"module copy", [](CBssComm& c) { c.SendModuleCopyReq(); }, true, "7E B0 F3 45 7E", 1,
       "다운로드 모듈 COPY 요청"},
      {"baud 0", [](CBssComm& c) { c.SendBaudRateReq(0); }, true, "7E F0 00 4F 73 7E", 1, "Baud rate set 요청"},
      {"baud 1", [](CBssComm& c) { c.SendBaudRateReq(1); }, false, "7E F0 01 C6 62 7E", 1, "Baud rate set 요청"},
      {"jump", [](CBssComm& c) { c.SendJumpReq(); }, true, "7E C0 74 36 7E", 1, "Jump 요청"},
      {"erase", [](CBssComm& c) { c.SendFlashEraseReq(0x4000, 0x3FC000); }, true,
       "7E EE 00 40 00 00 00 C0 3F 00 49 47 7E", 1, "Flash erase 요청"},
  };
  for (const auto& c : cases) {
    comm->m_bCrc30Mode = c.crc30 ? 1 : 0;
    comm->m_bDloadFraming = 1 - c.dloadFraming;  // the builder must set it itself
    c.send(*comm);
    EXPECT_EQ(ToHex(dev->TakeWritten()), c.wire) << c.name;
    EXPECT_EQ(comm->m_bDloadFraming, c.dloadFraming) << c.name;
    EXPECT_EQ(comm->GetLastCmd(), Hex(c.wire)[c.crc30 || c.dloadFraming ? 1 : 0]) << c.name;
    auto log = DrainLog();
    ASSERT_EQ(log.size(), 1u) << c.name;
    EXPECT_EQ(log[0].m_nKind, 4);
    EXPECT_EQ(log[0].m_strText, c.log);
  }
  EXPECT_EQ(target.Count(WM_LOG_TEXT), std::size(cases));
}

TEST_F(FrameSendTest, EraseAddressesAreEscaped) {
  OpenLink();
  comm->SendFlashEraseReq(0x007E0000, 0x10000);
  std::string wire = ToHex(dev->TakeWritten());
  EXPECT_EQ(wire.substr(0, 20), "7E EE 00 00 7D 5E 00") << wire;
}

TEST_F(FrameSendTest, BlockWriteIsAlways4103PayloadBytes) {
  OpenLink();
  BlockRecord rec;
  rec.SetCommand(0x55);  // never read
  rec.SetAddress(0x00010000);
  rec.SetLength(4096);
  for (size_t i = 0; i < kBlockDataSize; ++i) rec.Data()[i] = static_cast<uint8_t>(i);
  comm->SendWriteBlockReq(rec);
  std::vector<uint8_t> wire = dev->TakeWritten();
  EXPECT_EQ(ToHex(std::vector<uint8_t>(wire.begin(), wire.begin() + 8)), "7E DD 00 00 01 00 00 10");
  EXPECT_EQ(comm->m_nLastLen, 4103);
  EXPECT_EQ(comm->GetLastCmd(), 0xDD);
  EXPECT_TRUE(DrainLog().empty()) << "a block write writes no log line";

  // Unescape what went out and compare with the record and its FCS.
  ASSERT_EQ(wire.front(), 0x7E);
  ASSERT_EQ(wire.back(), 0x7E);
  std::vector<uint8_t> body;
  for (size_t i = 1; i + 1 < wire.size(); ++i) {
    EXPECT_NE(wire[i], 0x7E);
    EXPECT_NE(wire[i], 0x7F);
    body.push_back(wire[i] == 0x7D ? static_cast<uint8_t>(wire[++i] ^ 0x20) : wire[i]);
  }
  ASSERT_EQ(body.size(), 4103u + 2);
  EXPECT_EQ(body[0], 0xDD);
  EXPECT_TRUE(std::equal(rec.Data(), rec.Data() + kBlockDataSize, body.begin() + 7));
  const uint16_t fcs = crc::Fcs16(body.data(), 4103);
  EXPECT_EQ(body[4103], fcs & 0xFF);
  EXPECT_EQ(body[4104], fcs >> 8);
  // 4096 data bytes hold 0x7D, 0x7E and 0x7F sixteen times each: 48 escapes at least.
  EXPECT_GE(wire.size(), 4107u + 48);
}

TEST_F(FrameSendTest, ToDmSequencesGoOutVerbatim) {
  OpenLink();
  const char* expected[] = {"7F AA DD 7E", "7F AA 1F 00 7E", "7F AA 20 04 00 02 00 01 7E", "7F AA 3F 00 7E"};
  comm->m_bDloadFraming = 1;
  comm->SendVersionReq();  // the stored payload must survive the sequences
  dev->TakeWritten();
  for (int step = 0; step < 4; ++step) {
    comm->SendToDmSequence(step);
    EXPECT_EQ(ToHex(dev->TakeWritten()), expected[step]);
    EXPECT_EQ(comm->GetLastCmd(), step);
  }
  comm->SendToDmSequence(4);
  EXPECT_TRUE(dev->TakeWritten().empty());
  EXPECT_EQ(comm->GetLastCmd(), 4);
  comm->ResendLastPacket();
  EXPECT_EQ(ToHex(dev->TakeWritten()), "7F 00 78 F0 7E");
}

TEST_F(FrameSendTest, ResendReframesUnderTheFramingOfThatMoment) {
  OpenLink();
  comm->SendVersionReq();
  EXPECT_EQ(ToHex(dev->TakeWritten()), "7F 00 78 F0 7E");
  comm->ToggleSpeed();
  dev->TakeWritten();
  comm->ResendLastPacket();
  EXPECT_EQ(ToHex(dev->TakeWritten()), "00 78 F0 7E");
  EXPECT_EQ(comm->GetLastCmd(), 0x00);
}

TEST_F(FrameSendTest, AFailedByteDoesNotStopTheFrame) {
  OpenLink();
  dev->FailWrites(true);
  comm->SendVersionReq();
  dev->FailWrites(false);
  EXPECT_TRUE(dev->TakeWritten().empty());
  comm->ResendLastPacket();
  EXPECT_EQ(ToHex(dev->TakeWritten()), "7F 00 78 F0 7E");
}

// Refuses the n-th byte it is given, takes every other.
class CRefuseNthByte : public CFakeSerialDevice {
 public:
  explicit CRefuseNthByte(int n) : m_n(n) {}
  bool WriteByte(uint8_t b, int timeoutMs) override {
    if (++m_calls == m_n) return false;
    return CFakeSerialDevice::WriteByte(b, timeoutMs);
  }

 private:
  int m_n;
  int m_calls = 0;
};

TEST(FrameSendLossTest, OnlyTheRefusedByteIsMissingFromTheFrame) {
  setenv("TARVISEL_COM1", "/fake/com1", 1);
  struct Case {
    int refused;
    const char* wire;
  };
  const Case cases[] = {
      {1, "7D 5D 7D 5E 7D 5F CF 58 7E"},     // the opening flag
      {3, "7E 7D 7D 5E 7D 5F CF 58 7E"},     // the second half of an escape
      {10, "7E 7D 5D 7D 5E 7D 5F CF 58"},    // the closing flag
  };
  for (const auto& c : cases) {
    auto device = std::make_unique<CRefuseNthByte>(c.refused);
    CRefuseNthByte* dev = device.get();
    CRecordingTarget target;
    CQTextQ textQ;
    CBssComm comm(std::move(device));
    comm.SetPause([](unsigned) {});
    comm.InitComm(&target, &textQ);
    ASSERT_TRUE(comm.Open());
    comm.m_bDloadFraming = 1;
    const uint8_t payload[] = {0x7D, 0x7E, 0x7F};
    comm.SendPacket(payload, sizeof payload);
    EXPECT_EQ(ToHex(dev->TakeWritten()), c.wire) << c.refused;
  }
  g_bCommOpen = false;
  unsetenv("TARVISEL_COM1");
}

}  // namespace
