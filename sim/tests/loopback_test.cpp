// The link's own codec against the independent handset, in virtual time, through the loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "BlockRecord.h"
#include "Comm/QTextQ.h"
#include "Comm/bsscomm.h"
#include "LoopbackDevice.h"
#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::Hex;
using simtest::Request;
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
    comm.reset();  // one link at a time in a process
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
        for (size_t at = 0; at < b.bytes.size(); at += 512) {
          const size_t n = std::min<size_t>(512, b.bytes.size() - at);
          comm->ParseRxData(b.bytes.data() + at, static_cast<int>(n), b.dueMs);
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

// The host goes away after the erase and one block: the module waits for it, and after a
// power cycle the handset is an EMERGENCY one that takes the whole download again.
TEST_F(LoopbackLink, PowerCycleAfterAnInterruptedDownloadThenAnEmergencyDownload) {
  Start("dload-ms=0; jump-ms=0; erase-ms=100; reboot-ms=0; flash-fill=00");
  const uint32_t start = 0x10000;
  std::vector<uint8_t> image(2 * 4096);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 0x7D);
  auto ack = [&] { return One(3000) == std::vector<uint8_t>{0x02, 0x6A, 0xD3}; };
  auto bootToModule = [&] {
    comm->ChangeBaud(57600);
    comm->SendDloadStartReq();
    EXPECT_TRUE(ack());
    comm->SendModuleCopyReq();
    EXPECT_TRUE(ack());
    comm->SendBaudRateReq(1);
    EXPECT_TRUE(ack());
    comm->SendJumpReq();
    EXPECT_TRUE(ack());
    comm->ChangeBaud(115200);
    comm->SendDloadStartReq();
    EXPECT_TRUE(ack());
    comm->SendFlashEraseReq(start, static_cast<uint32_t>(image.size()));
    EXPECT_TRUE(ack());
  };
  auto write = [&](uint32_t i) {
    BlockRecord rec;
    rec.SetAddress(start + i * 4096);
    rec.SetLength(4096);
    std::copy_n(image.begin() + i * 4096, 4096, rec.Data());
    comm->SendWriteBlockReq(rec);
    return ack();
  };
  comm->SendDmOfflineReq();
  One();
  comm->SendDloadModeReq();
  One();
  Wait(10);
  bootToModule();
  EXPECT_TRUE(write(0));
  Wait(600000);
  loop->WithModel([&](CHandsetModel& m) {
    EXPECT_EQ(m.Mode(), HandsetMode::Module);
    EXPECT_TRUE(m.PowerCycle(now));
    EXPECT_EQ(m.Mode(), HandsetMode::Download);
  });
  bootToModule();
  EXPECT_TRUE(write(0));
  EXPECT_TRUE(write(1));
  comm->SendJumpReq();
  EXPECT_TRUE(ack());
  Wait(10);
  loop->WithModel([&](CHandsetModel& m) {
    EXPECT_TRUE(std::equal(image.begin(), image.end(), m.Flash().Bytes().begin() + start));
    EXPECT_EQ(m.DownloadsCompleted(), 1u);
    EXPECT_FALSE(m.PowerCycle(now));
    EXPECT_EQ(m.Mode(), HandsetMode::Dm);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), m.Flash().Bytes().begin() + start));  // it is flash
  });
}

TEST_F(LoopbackLink, ReplyAtAnotherSpeedNeverArrives) {
  Start("start=download; jump-ms=0");
  comm->SendDloadStartReq();
  comm->SendModuleCopyReq();
  comm->SendBaudRateReq(1);
  comm->SendJumpReq();
  while (loop->PendingOutput() > 0) Wait(1);  // the requests are in
  comm->ChangeBaud(115200);  // before the jump's ACK, sent at 57600, is on the line
  EXPECT_EQ(Pump().size(), 0u);
  EXPECT_EQ(loop->DroppedBursts(), 4u);
  EXPECT_EQ(loop->LostHostBytes(), 0u);
}

TEST_F(LoopbackLink, ReplySentAtAnotherSpeedByTheScenarioNeverArrives) {
  Start("start=download; speed=dlstart:1:115200");
  comm->SendDloadStartReq();
  EXPECT_EQ(Pump().size(), 0u);
  EXPECT_EQ(loop->DroppedBursts(), 1u);
  comm->SendDloadStartReq();
  EXPECT_EQ(ToHex(One()), "02 6A D3");  // the packet keeps its check bytes
}

// A host that changes the speed while its last request is still on the line loses it.
TEST_F(LoopbackLink, SpeedChangeCutsOffARequestStillOnTheLine) {
  for (const bool waits : {false, true}) {
    Start("start=todm; todm-ms=100");
    comm->ChangeBaud(9600);
    comm->SendToDmSequence(3);
    if (waits) {
      while (loop->PendingOutput() > 0) Wait(1);
    }
    comm->ChangeBaud(57600);
    Wait(1000);
    loop->WithModel([&](CHandsetModel& m) {
      EXPECT_EQ(m.Mode(), waits ? HandsetMode::Dm : HandsetMode::ToDmOnly) << waits;
      EXPECT_EQ(m.Records().size(), waits ? 1u : 0u) << waits;
    });
    EXPECT_EQ(loop->LostHostBytes() > 0, !waits);
    comm->ReleaseComm();
  }
}

TEST_F(LoopbackLink, AdapterHoldsTheReply) {
  Start("adapter=16");
  comm->SendStatusReq();
  const uint64_t sent = now;
  std::vector<Burst> got;
  while (auto due = loop->NextDueMs()) {
    now = std::max<uint64_t>(now, *due);
    for (Burst& b : loop->TakeDue(now)) got.push_back(std::move(b));
  }
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(ToHex(got[0].bytes), "0C 1E 2A A8 11 7E");
  // In at 1 ms, answered 3 ms later, held 16 ms from its first byte.
  EXPECT_GE(got[0].dueMs, sent + 1 + 3 + 16);
  EXPECT_LE(got[0].dueMs, sent + 1 + 3 + 16 + 1);
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

// The device alone, host to handset, in virtual time.
struct LineBench {
  explicit LineBench(const std::string& scenario, uint32_t baud = 57600)
      : dev(std::make_unique<CHandsetModel>(Bench::Parse(scenario), 1 << 20), [this] { return now; }) {
    EXPECT_TRUE(dev.Open("/loopback/handset"));
    SerialSettings s;
    s.baud = baud;
    EXPECT_TRUE(dev.Configure(s));
  }
  size_t Write(const std::vector<uint8_t>& bytes) { return dev.Write(bytes.data(), bytes.size(), 100); }
  std::vector<FrameRecord> Records() {
    std::vector<FrameRecord> out;
    dev.WithModel([&](CHandsetModel& m) { out = m.Records(); });
    return out;
  }
  uint64_t Noise() {
    uint64_t n = 0;
    dev.WithModel([&](CHandsetModel& m) { n = m.NoiseBytes(); });
    return n;
  }

  uint64_t now = 1000;
  CLoopbackDevice dev;
};

uint64_t LineMs(size_t bytes, uint32_t baud) { return (bytes * 10 * 1000 + baud - 1) / baud; }

TEST(LoopbackLine, BlockWriteIsHandledWhenItsLastByteIsIn) {
  LineBench b("start=download");
  std::vector<uint8_t> payload{0xDD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
  payload.resize(4103, 0x11);
  const std::vector<uint8_t> frame = Request(0x7E, payload);
  const uint64_t lineMs = LineMs(frame.size(), 57600);
  EXPECT_GE(lineMs, 713u);
  EXPECT_LE(lineMs, 715u);

  ASSERT_EQ(b.Write(frame), frame.size());
  EXPECT_EQ(b.dev.PendingOutput(), frame.size());
  EXPECT_EQ(b.dev.NextDueMs(), 1001u);  // the opening flag: the model may have to act on any flag
  EXPECT_TRUE(b.dev.TakeDue(1001).empty());
  EXPECT_EQ(b.dev.NextDueMs(), 1000 + lineMs);  // then the closing one
  size_t before = frame.size();
  for (uint64_t t : {100, 300, 500, 700}) {
    b.now = 1000 + t;
    const size_t pending = b.dev.PendingOutput();
    EXPECT_LT(pending, before) << t;
    EXPECT_NEAR(static_cast<double>(pending), static_cast<double>(frame.size()) - t * 5.76, 1.0) << t;
    before = pending;
  }
  b.now = 1000 + lineMs - 1;
  EXPECT_TRUE(b.Records().empty());
  EXPECT_TRUE(b.dev.TakeDue(b.now).empty());
  b.now = 1000 + lineMs;
  const auto rec = b.Records();
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec[0].timeMs, 1000 + lineMs);
  EXPECT_EQ(rec[0].check, FrameCheck::Ok);
  EXPECT_EQ(b.dev.PendingOutput(), 0u);
  ASSERT_TRUE(b.dev.NextDueMs());
  EXPECT_GT(*b.dev.NextDueMs(), 1000 + lineMs);  // the answer only after the request
}

TEST(LoopbackLine, AHostSideAdapterEmptiesThePortsQueueBeforeTheBytesCross) {
  // The port's queue shows what the adapter did not take; the bytes still cross at the line's
  // rate, and the handset gets the frame no sooner.
  LineBench b("start=download; host-buffer=4096");
  std::vector<uint8_t> payload{0xDD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
  payload.resize(4103, 0x11);
  const std::vector<uint8_t> frame = Request(0x7E, payload);
  const uint64_t lineMs = LineMs(frame.size(), 57600);
  ASSERT_EQ(b.Write(frame), frame.size());
  EXPECT_EQ(b.dev.QueuedOutput(), frame.size() - 4096);
  EXPECT_EQ(b.dev.PendingOutput(), frame.size()) << "the line still owes all of it";
  b.now = 1000 + 10;
  EXPECT_EQ(b.dev.QueuedOutput(), 0u);
  EXPECT_GT(b.dev.PendingOutput(), 0u);
  b.now = 1000 + lineMs - 1;
  EXPECT_TRUE(b.Records().empty());
  b.now = 1000 + lineMs;
  EXPECT_EQ(b.Records().size(), 1u);
}

TEST(LoopbackLine, WritesQueueBehindEachOther) {
  LineBench b("");
  const auto status = Hex("7F 0C 14 3A 7E");
  b.Write(status);
  b.Write(status);  // starts when the first has left
  b.now = 1010;
  b.Write(status);  // the line was idle: starts now
  b.now = 1100;
  const auto rec = b.Records();
  ASSERT_EQ(rec.size(), 3u);
  EXPECT_EQ(rec[0].timeMs, 1000 + LineMs(5, 57600));
  EXPECT_EQ(rec[1].timeMs, 1000 + LineMs(10, 57600));
  EXPECT_EQ(rec[2].timeMs, 1010 + LineMs(5, 57600));
  for (const auto& r : rec) EXPECT_FALSE(r.whileOwed) << FormatRecord(r);
  EXPECT_EQ(b.dev.TakeDue(b.now).size(), 3u);
}

// Bytes on the line when the port is purged, closed or set to another speed never arrive; the
// one crossing at that moment reaches the handset garbled.
TEST(LoopbackLine, PortChangesLoseWhatIsStillOnTheLine) {
  struct Case {
    const char* name;
    std::function<void(CLoopbackDevice&)> act;
    bool loses;
  } cases[] = {
      {"purge", [](CLoopbackDevice& d) { d.Purge(); }, true},
      {"close", [](CLoopbackDevice& d) { d.Close(); }, true},
      {"another speed",
       [](CLoopbackDevice& d) {
         SerialSettings s;
         s.baud = 115200;
         d.Configure(s);
       },
       true},
      {"another parity",
       [](CLoopbackDevice& d) {
         SerialSettings s;
         s.parity = 2;
         d.Configure(s);
       },
       true},
      {"the same settings again", [](CLoopbackDevice& d) { d.Configure(SerialSettings{}); }, false},
  };
  for (const auto& c : cases) {
    LineBench b("");
    const std::vector<uint8_t> frame = Request(0x7F, std::vector<uint8_t>(200, 0x22));  // unknown command
    b.Write(frame);
    b.now = 1010;  // 57.6 bytes have crossed
    c.act(b.dev);
    EXPECT_EQ(b.dev.PendingOutput(), c.loses ? 0u : frame.size() - 57) << c.name;
    EXPECT_EQ(b.dev.LostHostBytes(), c.loses ? frame.size() - 57 : 0u) << c.name;
    EXPECT_EQ(b.Noise(), c.loses ? 1u : 0u) << c.name;
    b.now = 1100;
    EXPECT_EQ(b.Records().size(), c.loses ? 0u : 1u) << c.name;
    // The handset hears the next whole request at its speed.
    if (!b.dev.IsOpen()) b.dev.Open("/loopback/handset");
    b.dev.Configure(SerialSettings{});
    b.Write(Hex("7F 0C 14 3A 7E"));
    b.now = 1200;
    std::string reply;
    for (const Burst& burst : b.dev.TakeDue(b.now)) {
      if (burst.bytes.front() == 0x0C) reply = ToHex(burst.bytes);
    }
    EXPECT_EQ(reply, "0C 1E 2A A8 11 7E") << c.name;
  }
}

}  // namespace
