// The link and its receive thread over a real pty, with the test playing the handset on the
// master side.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "Comm/Crc.h"
#include "Comm/LinkFlags.h"
#include "Comm/bsscomm.h"
#include "support/Bytes.h"
#include "support/PtyPeer.h"
#include "support/RecordingTarget.h"
#include "support/RxThreadRunner.h"

namespace {

using namespace std::chrono_literals;

class LinkPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.Ok()) << peer.Error();
    setenv("TARVISEL_COM1", peer.SlavePath().c_str(), 1);
    comm.SetPause([](unsigned) {});
    comm.InitComm(&target, &textQ);
  }
  void TearDown() override {
    if (runner.Thread()) {
      EXPECT_TRUE(runner.Stop(&comm));
    }
    comm.ReleaseComm();
    unsetenv("TARVISEL_COM1");
  }
  void StartLink() {
    ASSERT_TRUE(comm.Open()) << comm.GetOpenError();
    runner.Start(&target, &comm, &textQ);
  }
  std::string LastPacket() {
    auto msgs = target.Messages();
    for (auto it = msgs.rbegin(); it != msgs.rend(); ++it) {
      if (it->message == WM_RX_PACKET) return ToHex(it->packet.bytes.data(), it->packet.size);
    }
    return "<none>";
  }

  CPtyPeer peer;
  CRecordingTarget target;
  CQTextQ textQ;
  CBssComm comm;
  CRxThreadRunner runner;
};

TEST_F(LinkPtyTest, ARequestIsAnsweredAndTheReplyPosted) {
  StartLink();
  EXPECT_EQ(peer.SlaveSpeed(), 57600u);
  EXPECT_TRUE(peer.SlaveExclusive());
  comm.SendVersionReq();
  EXPECT_EQ(ToHex(peer.ReadUntil(5, 5000)), "7F 00 78 F0 7E");
  ASSERT_TRUE(peer.Write(Crc30Reply({0x00, 0x41, 0x7E, 0x42})));
  ASSERT_TRUE(target.WaitFor(WM_RX_PACKET, 1, 5s));
  const uint32_t c = crc::Crc30(Hex("00 41 7E 42").data(), 32);
  EXPECT_EQ(LastPacket(), "00 41 7E 42 " + ToHex(std::vector<uint8_t>{uint8_t(c >> 24), uint8_t(c >> 16),
                                                                     uint8_t(c >> 8), uint8_t(c)}));
}

TEST_F(LinkPtyTest, DataBytesFFAndControlCharactersArriveAsSent) {
  StartLink();
  comm.m_bDloadFraming = 1;
  const std::vector<uint8_t> reply = Fcs16Reply(Hex("FF 11 13 00 0D 0A FF FF"));
  ASSERT_TRUE(peer.Write(reply));
  ASSERT_TRUE(target.WaitFor(WM_RX_PACKET, 1, 5s));
  EXPECT_EQ(LastPacket(), ToHex(std::vector<uint8_t>(reply.begin(), reply.end() - 1)));
  EXPECT_EQ(LastPacket().substr(0, 23), "FF 11 13 00 0D 0A FF FF");

  BlockRecord rec;
  rec.SetAddress(0x00FF1100);
  rec.SetLength(4096);
  for (size_t i = 0; i < kBlockDataSize; ++i) rec.Data()[i] = static_cast<uint8_t>(i * 7);
  comm.SendWriteBlockReq(rec);
  auto wire = peer.ReadUntil([](const std::vector<uint8_t>& got) { return got.size() > 4107 && got.back() == 0x7E; },
                             10000);
  std::vector<uint8_t> body;
  for (size_t i = 1; i + 1 < wire.size(); ++i)
    body.push_back(wire[i] == 0x7D ? static_cast<uint8_t>(wire[++i] ^ 0x20) : wire[i]);
  ASSERT_EQ(body.size(), 4105u);
  EXPECT_TRUE(std::equal(rec.Data(), rec.Data() + kBlockDataSize, body.begin() + 7));
}

TEST_F(LinkPtyTest, CloseEndsTheReceiveThreadsWait) {
  StartLink();
  std::this_thread::sleep_for(20ms);  // let the thread reach its wait
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(runner.Stop(&comm, 5s));
  // Generous bound: the wait must be ended by the close, not by some time-out of its own.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_FALSE(peer.SlaveExclusive()) << "exclusive mode must not outlive the close";
}

TEST_F(LinkPtyTest, SpeedChangesReopenAtTheNewSpeed) {
  StartLink();
  auto change = [&](auto&& fn) {
    runner.Thread()->SuspendThread();
    fn();
    runner.Thread()->ResumeThread();
  };
  change([&] { comm.ToggleSpeed(); });
  EXPECT_TRUE(g_bCommOpen);
  EXPECT_EQ(peer.SlaveSpeed(), 115200u);
  EXPECT_TRUE(peer.SlaveExclusive());
  change([&] { comm.ChangeBaud(9600); });
  EXPECT_EQ(peer.SlaveSpeed(), 9600u);
  change([&] { comm.ToggleSpeed(); });
  EXPECT_EQ(peer.SlaveSpeed(), 57600u);
  EXPECT_EQ(comm.m_bCrc30Mode, 1);

  // The thread reads the reopened port.
  comm.SendVersionReq();
  EXPECT_EQ(ToHex(peer.ReadUntil(5, 5000)), "7F 00 78 F0 7E");
  ASSERT_TRUE(peer.Write(Crc30Reply({0x00})));
  ASSERT_TRUE(target.WaitFor(WM_RX_PACKET, 1, 5s));
}

TEST_F(LinkPtyTest, AHangUpPostsExactlyOneBreak) {
  StartLink();
  std::this_thread::sleep_for(20ms);
  peer.HangUp();
  ASSERT_TRUE(target.WaitFor(WM_COMM_BREAK, 1, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(target.Count(WM_COMM_BREAK), 1u);
  EXPECT_TRUE(g_bRxAlive) << "the thread waits for the window to stop it";
}

TEST_F(LinkPtyTest, WritesToAPortThatIsNotOpenGoNowhere) {
  EXPECT_FALSE(comm.WriteCommByte(0x41));
  comm.SendVersionReq();
  EXPECT_TRUE(peer.ReadFor(50).empty());
  StartLink();
  ASSERT_TRUE(runner.Stop(&comm));
  comm.SendVersionReq();
  EXPECT_TRUE(peer.ReadFor(50).empty());
}

TEST(LinkPtyOpen, MissingDeviceFailsAndSaysWhich) {
  setenv("TARVISEL_COM2", "/dev/does-not-exist-tarvisel", 1);
  CRecordingTarget target;
  CQTextQ textQ;
  CBssComm comm;
  comm.SetPause([](unsigned) {});
  comm.InitComm(&target, &textQ);
  comm.SetPort(2);
  EXPECT_FALSE(comm.Open());
  EXPECT_FALSE(g_bCommOpen);
  EXPECT_NE(comm.GetOpenError().find("COM2"), std::string::npos) << comm.GetOpenError();
  unsetenv("TARVISEL_COM2");
}

}  // namespace
