// The handset's download mode and download module, and its NOR flash.
#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::Block;
using simtest::Erase;
using simtest::Hex;
using simtest::InModule;
using simtest::Pattern;
using simtest::Request;
using simtest::ToHex;

namespace {

constexpr const char* kAck = "02 6A D3 7E";
constexpr const char* kNakCrc = "A1 FB 44 7E";
constexpr const char* kNakLarge = "A2 60 76 7E";
constexpr const char* kNakInvalid = "A3 E9 67 7E";
constexpr const char* kNakFlash = "A4 56 13 7E";

TEST(HandsetDownload, BootModeRepliesOnTheWire) {
  struct Case {
    const char* name;
    std::vector<const char*> before;
    const char* request;
    const char* reply;
  } cases[] = {
      {"download start", {}, "7E A0 72 55 7E", kAck},
      {"module copy", {}, "7E B0 F3 45 7E", kAck},
      {"baud rate index 0", {}, "7E F0 00 4F 73 7E", kAck},
      {"baud rate index 1", {}, "7E F0 01 C6 62 7E", kAck},
      {"baud rate index 2", {}, "7E F0 02 5D 50 7E", kNakInvalid},
      {"jump before the module copy", {}, "7E C0 74 36 7E", kNakInvalid},
      {"jump after the module copy", {"7E B0 F3 45 7E"}, "7E C0 74 36 7E", kAck},
      {"erase needs the module", {}, "7E EE 00 40 00 00 00 C0 3F 00 49 47 7E", kNakInvalid},
      {"dm version request", {}, "7F 00 78 F0 7E", kNakInvalid},
      {"dm request without flag", {}, "0C 14 3A 7E", kNakInvalid},
      {"bad fcs", {}, "7E A0 72 56 7E", kNakCrc},
      {"without opening flag", {}, "A0 72 55 7E", kAck},
  };
  for (const auto& c : cases) {
    Bench b("start=download");
    for (const char* r : c.before) b.Exchange(r, 57600);
    EXPECT_EQ(b.Exchange(c.request, 57600), c.reply) << c.name;
  }
}

TEST(HandsetDownload, ModuleRepliesOnTheWire) {
  struct Case {
    const char* name;
    std::vector<uint8_t> request;
    const char* reply;
  } cases[] = {
      {"download start", Hex("7E A0 72 55 7E"), kAck},
      {"erase inside", Hex("7E EE 00 40 00 00 00 C0 3F 00 49 47 7E"), kAck},
      {"erase to the very end", Erase(0x003FF000, 0x00001000), kAck},
      {"erase past the end", Erase(0x003F0000, 0x00020000), kNakFlash},
      {"erase wrapping round", Erase(0xFFFFF000, 0x00002000), kNakFlash},
      {"block inside", Block(0x00010000, Pattern(4096, 1)), kAck},
      {"block past the end", Block(0x003FF800, Pattern(4096, 1)), kNakFlash},
      {"block length field off", Block(0, Pattern(4096, 1), 4095), kNakInvalid},
      {"block too large", Block(0, Pattern(4097, 1)), kNakLarge},
      {"module copy again", Hex("7E B0 F3 45 7E"), kNakInvalid},
      {"baud rate in the module", Hex("7E F0 01 C6 62 7E"), kNakInvalid},
      {"dm status", Hex("7F 0C 14 3A 7E"), kNakInvalid},
      {"bad fcs", Hex("7E EE 00 40 00 00 00 C0 3F 00 49 48 7E"), kNakCrc},
  };
  for (const auto& c : cases) {
    Bench b = InModule("", 4 << 20);
    b.Send(c.request, 57600);
    EXPECT_EQ(b.Reply(), c.reply) << c.name;
  }
}

TEST(HandsetDownload, EraseTakesItsTime) {
  Bench b = InModule("erase-ms=5000; reply-ms=3");
  b.Send(Erase(0, 0x10000), 57600);
  const uint64_t sent = b.now;
  EXPECT_TRUE(b.model.TakeDue(sent + 4999).empty());
  ASSERT_TRUE(b.model.NextDueMs());
  EXPECT_EQ(*b.model.NextDueMs(), sent + 5003);
  // A request sent during the erase is served after it.
  b.Send("7E A0 72 55 7E", 57600);
  const auto out = b.model.TakeDue(sent + 6000);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_GT(out[1].dueMs, out[0].dueMs);
}

TEST(HandsetDownload, WholeSequenceFromDmAndBackAtTheSelectedSpeed) {
  Bench b("dload-ms=1000; jump-ms=100; erase-ms=1500; reboot-ms=3000");
  EXPECT_EQ(b.Exchange("7F 29 01 00 31 40 7E", 57600), "29 01 00 0A 71 8F F2 7E");
  EXPECT_EQ(b.Exchange("7F 3A A1 6E 7E", 57600), "3A 18 FF 77 ED 7E");
  EXPECT_EQ(b.Exchange("7E A0 72 55 7E", 57600), "");  // restarting its port
  b.Wait(1010);  // the ACK's own few ms on the wire, then the switch
  EXPECT_EQ(b.model.Mode(), HandsetMode::Download);
  EXPECT_EQ(b.Exchange("7E A0 72 55 7E", 57600), kAck);
  EXPECT_EQ(b.Exchange("7E B0 F3 45 7E", 57600), kAck);
  EXPECT_EQ(b.Exchange("7E F0 01 C6 62 7E", 57600), kAck);
  b.Send("7E C0 74 36 7E", 57600);
  const auto jumpAck = b.Bursts();
  ASSERT_EQ(jumpAck.size(), 1u);
  EXPECT_EQ(ToHex(jumpAck[0].bytes), kAck);
  EXPECT_EQ(jumpAck[0].baud, 57600u);  // the jump's ACK still at the old speed
  b.Wait(200);
  EXPECT_EQ(b.model.Baud(), 115200u);
  EXPECT_EQ(b.Exchange("7E A0 72 55 7E", 57600), "");
  b.Send("7E A0 72 55 7E", 115200);
  const auto restart = b.Bursts();
  ASSERT_EQ(restart.size(), 1u);
  EXPECT_EQ(restart[0].baud, 115200u);

  const auto image = Pattern(2 * 4096, 7);
  b.Send(Erase(0x4000, 0x2000), 115200);
  EXPECT_EQ(b.Reply(), kAck);
  for (uint32_t i = 0; i < 2; ++i) {
    const std::vector<uint8_t> data(image.begin() + i * 4096, image.begin() + (i + 1) * 4096);
    b.Send(Block(0x4000 + i * 4096, data), 115200);
    EXPECT_EQ(b.Reply(), kAck) << i;
  }
  EXPECT_TRUE(std::equal(image.begin(), image.end(), b.model.Flash().Bytes().begin() + 0x4000));

  b.Send("7E C0 74 36 7E", 115200);
  const auto last = b.Bursts();
  ASSERT_EQ(last.size(), 1u);
  EXPECT_TRUE(last[0].endsDownload);
  EXPECT_EQ(b.model.DownloadsCompleted(), 1u);
  b.Wait(3100);
  EXPECT_EQ(b.model.Mode(), HandsetMode::Dm);
  EXPECT_EQ(b.model.Baud(), 57600u);
  EXPECT_EQ(b.Exchange("7F 0C 14 3A 7E", 57600), "0C 1E 2A A8 11 7E");
}

TEST(HandsetDownload, AfterLostBytesTheReceiverWaitsForAFlag) {
  Bench b("start=download; jump-ms=50");
  b.Exchange("7E B0 F3 45 7E", 57600);
  b.Exchange("7E C0 74 36 7E", 57600);
  b.Send("7E A0 72", 57600);  // while the module starts: lost
  b.Wait(100);
  // The rest of that frame is not taken for a frame of its own (no A1); the next one is.
  EXPECT_EQ(b.Exchange("55 7E 7E A0 72 55 7E", 57600), kAck);

  // The same while DM mode hands over to download mode.
  Bench d("dload-ms=50");
  d.Exchange("7F 29 01 00 31 40 7E", 57600);
  d.Exchange("7F 3A A1 6E 7E", 57600);
  d.Send("7E A0 72", 57600);
  d.Wait(100);
  EXPECT_EQ(d.model.Mode(), HandsetMode::Download);
  EXPECT_EQ(d.Exchange("55 7E 7E A0 72 55 7E", 57600), kAck);
}

TEST(HandsetFlash, NorSemantics) {
  Bench b = InModule("flash-fill=F0");
  const std::vector<uint8_t> data(4096, 0x3C);
  // Without an erase the block is ANDed into what was there.
  b.Send(Block(0, data), 57600);
  EXPECT_EQ(b.Reply(), kAck);
  EXPECT_EQ(b.model.Flash().Bytes()[0], 0x30);
  EXPECT_EQ(b.model.Flash().Bytes()[4095], 0x30);
  EXPECT_EQ(b.model.Flash().Bytes()[4096], 0xF0);
  // After an erase it reads back as written; the erase touches only its range.
  b.Send(Erase(0, 4096), 57600);
  EXPECT_EQ(b.Reply(), kAck);
  EXPECT_EQ(b.model.Flash().Bytes()[0], 0xFF);
  EXPECT_EQ(b.model.Flash().Bytes()[4096], 0xF0);
  b.Send(Block(0, data), 57600);
  b.Reply();
  EXPECT_EQ(b.model.Flash().Bytes()[0], 0x3C);
}

TEST(HandsetFlash, OldImageShowsAMissingErase) {
  CNorFlash flash(8192);
  size_t allOnes = 0;
  for (uint8_t v : flash.Bytes()) allOnes += v == 0xFF;
  EXPECT_LT(allOnes, 100u);
  const std::vector<uint8_t> data(4096, 0xA5);
  ASSERT_TRUE(flash.Program(0, data.data(), data.size()));
  EXPECT_FALSE(std::equal(data.begin(), data.end(), flash.Bytes().begin()));
  EXPECT_FALSE(flash.Program(8192 - 100, data.data(), data.size()));
  EXPECT_FALSE(flash.Erase(1, 8192));
}

TEST(HandsetFlash, SaveWritesTheWholeFlash) {
  CNorFlash flash(4096, 0x11);
  ASSERT_TRUE(flash.Erase(16, 16));
  const std::string path = ::testing::TempDir() + "/sim_flash_save.bin";
  ASSERT_TRUE(flash.Save(path));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> back(5000);
  const size_t n = std::fread(back.data(), 1, back.size(), f);
  std::fclose(f);
  std::remove(path.c_str());
  ASSERT_EQ(n, 4096u);
  back.resize(n);
  EXPECT_EQ(back, flash.Bytes());
  EXPECT_FALSE(flash.Save("/nonexistent-dir/x.bin"));
}

}  // namespace
