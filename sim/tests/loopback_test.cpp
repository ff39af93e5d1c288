// The link's own codec against the independent handset, in virtual time, through the loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "BlockRecord.h"
#include "Comm/QTextQ.h"
#include "Comm/bsscomm.h"
#include "LoopbackDevice.h"
#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::ToHex;

namespace {

class CCollectingTarget : public CMessageTarget {
 public:
  using CMessageTarget::PostMessage;
  void PostMessage(const WindowMessage& msg) override {
    std::lock_guard lock(m_mutex);
    if (msg.message == WM_RX_PACKET) m_packets.emplace_back(msg.packet.bytes.begin(), msg.packet.bytes.begin() + msg.packet.size);
  }
  std::vector<std::vector<uint8_t>> Take() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_packets, {});
  }

 private:
  std::mutex m_mutex;
  std::vector<std::vector<uint8_t>> m_packets;
};

class LoopbackLink : public ::testing::Test {
 protected:
  void Start(const std::string& scenario, size_t flash = 1 << 20) {
    ::setenv("TARVISEL_COM1", "/loopback/handset", 1);
    auto dev = std::make_unique<CLoopbackDevice>(std::make_unique<CHandsetModel>(Bench::Parse(scenario), flash),
                                                 [this] { return now.load(); });
    loop = dev.get();
    comm = std::make_unique<CBssComm>(std::move(dev));
    comm->SetPause([this](unsigned ms) { now += ms; });
    ASSERT_TRUE(comm->InitComm(&target, &textQ));
    comm->SetPort(1);
    ASSERT_TRUE(comm->Open());
  }
  void TearDown() override {
    if (comm) comm->ReleaseComm();
  }
  // Moves virtual time on by up to ms, feeding each due burst to the parser as one burst of
  // reads of at most 512 bytes, as the receive thread would. Returns the delivered payloads.
  std::vector<std::vector<uint8_t>> Pump(uint64_t ms = 5000) {
    const uint64_t until = now + ms;
    while (auto due = loop->NextDueMs()) {
      if (*due > until) break;
      now = std::max<uint64_t>(now, *due);
      for (const Burst& b : loop->TakeDue(now)) {
        comm->m_nRxCount = 0;
        for (size_t at = 0; at < b.bytes.size(); at += 512) {
          const size_t n = std::min<size_t>(512, b.bytes.size() - at);
          comm->ParseRxData(b.bytes.data() + at, static_cast<int>(n));
        }
      }
    }
    CQTextEntry e;
    while (textQ.Get(e)) {
    }
    return target.Take();
  }
  std::vector<uint8_t> One(uint64_t ms = 5000) {
    auto got = Pump(ms);
    EXPECT_EQ(got.size(), 1u);
    return got.empty() ? std::vector<uint8_t>{} : got[0];
  }
  void Wait(uint64_t ms) {
    now += ms;
    loop->WithModel([&](CHandsetModel& m) { m.Advance(now); });
  }

  std::atomic<uint64_t> now{1000};
  CCollectingTarget target;
  CQTextQ textQ;
  CLoopbackDevice* loop = nullptr;
  std::unique_ptr<CBssComm> comm;
};

TEST_F(LoopbackLink, VersionRoundTrip) {
  Start("rev=1234; sw=ABCDEFGH");
  EXPECT_EQ(loop->HostBaud(), 57600u);
  comm->SendVersionReq();
  const auto reply = One();
  ASSERT_EQ(reply.size(), 56u);  // the payload and its CRC-30, which the link keeps
  EXPECT_EQ(reply[0], 0x00);
  EXPECT_EQ(reply[50] | reply[51] << 8, 1234);
  EXPECT_EQ(std::string(reply.begin() + 39, reply.begin() + 47), "ABCDEFGH");
}

TEST_F(LoopbackLink, PlainVariantAfterTheToggle) {
  Start("variant=plain");
  comm->SendVersionReq();
  EXPECT_TRUE(Pump().empty());  // the handset is at 115200
  comm->ToggleSpeed();
  EXPECT_EQ(loop->HostBaud(), 115200u);
  comm->SendStatusReq();
  EXPECT_EQ(ToHex(One()), "0C 14 3A");  // unverified framing: the FCS stays on
}

TEST_F(LoopbackLink, ToDmSequenceAt9600) {
  Start("start=todm; todm-ms=500");
  comm->ChangeBaud(9600);
  for (int step = 0; step < 3; ++step) {
    comm->SendToDmSequence(step);
    EXPECT_EQ(ToHex(One()), "AA AF") << step;
  }
  comm->SendToDmSequence(3);
  EXPECT_TRUE(Pump().empty());
  Wait(1000);
  comm->ChangeBaud(57600);
  comm->SendStatusReq();
  EXPECT_EQ(ToHex(One()), "0C 1E 2A A8 11");
}

TEST_F(LoopbackLink, WholeDownload) {
  Start("rev=203; dload-ms=1000; jump-ms=100; erase-ms=1500; reboot-ms=2000; flash-fill=00", 1 << 20);
  comm->SendVersionReq();
  EXPECT_EQ(One()[0], 0x00);
  comm->SendDmOfflineReq();
  EXPECT_EQ(ToHex(One()), "29 01 00 0A 71 8F F2");
  comm->SendDloadModeReq();
  EXPECT_EQ(One()[0], 0x3A);
  Wait(2000);
  comm->SendDloadStartReq();
  EXPECT_EQ(One()[0], 0x02);
  comm->SendModuleCopyReq();
  EXPECT_EQ(One()[0], 0x02);
  comm->SendBaudRateReq(1);
  EXPECT_EQ(One()[0], 0x02);
  comm->SendJumpReq();
  EXPECT_EQ(One()[0], 0x02);
  comm->ChangeBaud(115200);
  comm->SendDloadStartReq();
  EXPECT_EQ(ToHex(One()), "02 6A D3");
  // With the fill at 00, only an erase lets the blocks read back.
  const uint32_t start = 0x10000;
  comm->SendFlashEraseReq(start, 2 * 4096);
  EXPECT_EQ(One(3000)[0], 0x02);
  std::vector<uint8_t> image(2 * 4096);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0x7B + i % 7);  // 7D..7F too
  for (uint32_t i = 0; i < 2; ++i) {
    BlockRecord rec;
    rec.SetAddress(start + i * 4096);
    rec.SetLength(4096);
    std::copy_n(image.begin() + i * 4096, 4096, rec.Data());
    comm->SendWriteBlockReq(rec);
    EXPECT_EQ(One()[0], 0x02) << i;
  }
  comm->SendJumpReq();
  EXPECT_EQ(One()[0], 0x02);
  loop->WithModel([&](CHandsetModel& m) {
    EXPECT_TRUE(std::equal(image.begin(), image.end(), m.Flash().Bytes().begin() + start));
    EXPECT_EQ(m.Flash().Bytes()[start - 1], 0x00);
    EXPECT_EQ(m.DownloadsCompleted(), 1u);
    for (const auto& r : m.Records()) EXPECT_EQ(r.check, FrameCheck::Ok) << FormatRecord(r);
  });
  EXPECT_EQ(loop->DroppedBursts(), 0u);
}

TEST_F(LoopbackLink, ReplyAtAnotherSpeedNeverArrives) {
  Start("start=download; jump-ms=0");
  comm->SendDloadStartReq();
  comm->SendModuleCopyReq();
  comm->SendBaudRateReq(1);
  comm->SendJumpReq();
  comm->ChangeBaud(115200);  // before the jump's ACK, sent at 57600, is on the line
  EXPECT_EQ(Pump().size(), 0u);
  EXPECT_EQ(loop->DroppedBursts(), 4u);
}

TEST_F(LoopbackLink, WaitEventIdlesUntilWokenOrClosed) {
  Start("");
  std::atomic<int> returns{0};
  std::atomic<bool> lastOk{true};
  std::thread rx([&] {
    for (;;) {
      uint32_t ev = 0xFFFF;
      const bool ok = comm->WaitCommEvent(ev);
      EXPECT_EQ(ev, 0u);
      lastOk = ok;
      ++returns;
      if (!ok) return;
    }
  });
  for (int i = 0; i < 50; ++i) comm->SendStatusReq();
  EXPECT_EQ(returns.load(), 0);  // writes and the replies they cause never wake the receiver
  while (returns.load() == 0) {
    comm->WakeReceiver();
    std::this_thread::yield();
  }
  comm->Close();
  rx.join();
  EXPECT_FALSE(lastOk.load());
  EXPECT_FALSE(loop->IsOpen());
  EXPECT_EQ(loop->BytesWaiting(), 0u);
}

}  // namespace
