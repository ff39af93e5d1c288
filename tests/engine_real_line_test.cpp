// Downloads over a line as a technician's really is, on virtual time: replies that come late
// after a resend, twice, together in one read, in pieces from a USB adapter, with noise before
// them, and handsets whose check bytes are not FCS-16. Whatever the line does, a download that
// says "Downloading completed" has the image in the handset's flash and nothing else changed,
// any other end is a clear failure with the idle buttons back, and no request ever leaves while
// a reply to another is still owed.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/Bytes.h"
#include "support/EngineHarness.h"
#include "support/FlashCheck.h"

namespace {

constexpr uint64_t kLong = 30 * 60 * 1000;
constexpr size_t kFlashSize = size_t{1} << 20;
constexpr uint32_t kImageSize = 0x20000;
constexpr uint32_t kStart = 0x10000;  // 16 blocks

enum class End { Completed, Failed };

struct LineCase {
  const char* name;
  const char* scenario;  // over "rev=1; erase-ms=200"
  End end;
  int type = TYPE_NORMAL;
};

class EngineRealLineTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario) {
    h = std::make_unique<CEngineHarness>("rev=1; erase-ms=200; " + scenario, kFlashSize);
    h->Init();
    before = h->Flash(0, kFlashSize);
  }
  bool Completed() { return h->events.LastOutcome() == Outcome::Completed; }
  bool Failed() { return h->events.LastOutcome() && !Completed(); }
  bool LogHas(const std::string& text, uint32_t color) {
    for (const auto& r : h->LogRuns()) {
      if (r.text == "\n" + text && r.colorBgr == color) return true;
    }
    return false;
  }
  bool IdleButtons() {
    auto& c = h->win.Controls();
    return c.IsEnabled(IDC_OPEN) && c.IsEnabled(IDC_RUN) && c.IsEnabled(IDC_TODM) && c.IsEnabled(IDC_INFO) &&
           !c.IsEnabled(IDC_STOP);
  }
  uint32_t RequestsWhileOwed() {
    uint32_t n = 0;
    h->loop->WithModel([&](sim::CHandsetModel& m) { n = m.RequestsWhileOwed(); });
    return n;
  }
  size_t FramesOf(uint8_t cmd) {
    size_t n = 0;
    for (const auto& f : h->Frames()) n += f.toDmStep < 0 && !f.bytes.empty() && f.bytes[0] == cmd;
    return n;
  }
  // Runs one download of the type to its end and checks what every end must hold.
  End Download(int type, const std::string& label) {
    const std::string image = h->MakeImage(kImageSize, kStart, 1);
    h->OpenImage(image);
    h->Select(IDC_TYPE, type);
    h->win.ExpectMessageBox("Downloading completed", IDOK);
    h->Click(IDC_RUN);
    EXPECT_TRUE(h->RunUntil([&] { return Completed() || Failed(); }, kLong)) << label << "\n" << h->LogText();
    h->RunFor(5000);  // anything still to come must not change the verdict
    EXPECT_EQ(RequestsWhileOwed(), 0u) << label << ": a request left while a reply was owed";
    const std::vector<uint8_t> after = h->Flash(0, kFlashSize);
    const std::vector<uint8_t> bytes = h->ReadFile(image);
    const uint32_t from = type == TYPE_CHANGE_NORMAL || type == TYPE_CHANGE_EMERGENCY ? 0 : kStart;
    EXPECT_LE(h->events.finished.size(), 1u) << label << ": one end only";
    EXPECT_EQ(Completed(), h->BoxShown("Downloading completed")) << label;
    if (Completed()) {
      ExpectImageInRangeOnly(after, before, bytes.data() + from, from, kImageSize, label);
    } else {
      EXPECT_TRUE(IdleButtons()) << label;
    }
    EXPECT_TRUE(h->win.Failures().empty()) << label << "\n" << h->win.JournalText();
    return Completed() ? End::Completed : End::Failed;
  }

  std::unique_ptr<CEngineHarness> h;
  std::vector<uint8_t> before;
};

TEST_F(EngineRealLineTest, LateDuplicateJoinedAndNoisyReplies) {
  // Block requests count every block write, resends included; 16 blocks a download.
  const LineCase cases[] = {
      {"clean line", "", End::Completed},
      {"late ack after the resend, then a nak a few blocks later", "delay=block:5:3400; nak=block:9:A1",
       End::Completed},
      {"late ack after the resend, then a nak on the last block", "delay=block:5:3400; nak=block:17:A1",
       End::Completed},
      {"late ack, the resend's own reply a nak", "delay=block:5:3400; nak=block:6:A1", End::Completed},
      {"late ack, the resend lost", "delay=block:5:3400; silent=block:6", End::Completed},
      {"late ack of the last block", "delay=block:16:3400", End::Completed},
      {"late erase ack after its resend", "delay=erase:1:100500", End::Completed},
      {"late version reply after its resend", "delay=version:1:3400", End::Completed},
      {"late dm offline reply after its resend", "delay=dmoffline:1:3400", End::Completed},
      {"late download start reply after its resend", "delay=dlstart:1:3400", End::Completed},
      {"duplicate ack 20 ms later, then a nak", "dup=block:5:20; nak=block:8:A1", End::Completed},
      {"duplicate ack of the last block", "dup=block:16:20", End::Completed},
      {"duplicate ack of every block", "dup=block:*:20", End::Completed},
      {"ack and nak in one read", "extra=block:5:A1:0", End::Failed},
      {"a stray ack after the final jump", "extra=jump:2:02:50", End::Failed},
      {"noise 02 before a nak", "junk=block:5:02; nak=block:5:A1", End::Completed},
      {"noise 00 before an ack", "junk=block:5:00", End::Completed},
      {"noise 55 before an ack", "junk=block:5:55", End::Completed},
      {"noise 7E before an ack", "junk=block:5:7E", End::Completed},
      {"noise 02 30 ms before an ack", "junk=block:5:02:30", End::Completed},
      {"noise 02 200 ms before a nak", "junk=block:5:02:200; nak=block:5:A1", End::Completed},
      {"noise before the version reply", "junk=version:1:00", End::Completed},
      {"noise before the plain version reply", "variant=plain; junk=version:1:00", End::Completed},
      {"every block ack split 20 ms", "split=block:*:20:1", End::Completed},
      {"every reply through a USB adapter", "adapter=16:62", End::Completed},
      {"adapter and plain DM replies", "variant=plain; adapter=16:62", End::Completed},
      {"check bytes of another kind", "check=other", End::Completed},
      {"other check, plain DM replies", "variant=plain; check=other", End::Completed},
      {"other check, noise 02 before a nak", "check=other; junk=block:5:02; nak=block:5:A1", End::Completed},
      {"bad fcs on an ack", "badcrc=block:5", End::Completed},
      {"a handset that never acknowledges a block", "silent=block:*", End::Failed},
      {"a handset that refuses every block", "nak=block:*:A4", End::Failed},
  };
  for (const LineCase& c : cases) {
    Start(c.scenario);
    const End end = Download(c.type, c.name);
    EXPECT_EQ(end, c.end) << c.name << "\n" << h->LogText();
    h.reset();
  }
}

TEST_F(EngineRealLineTest, EmergencyDownloadsOnAHarshLine) {
  const char* scenarios[] = {
      "delay=block:5:3400; nak=block:9:A1", "dup=block:*:20", "split=block:*:25:2",
      "adapter=16:62",                      "check=other",    "junk=block:3:02; nak=block:3:A1",
  };
  for (const char* s : scenarios) {
    Start(std::string("start=download; ") + s);
    EXPECT_EQ(Download(TYPE_EMERGENCY, s), End::Completed) << s << "\n" << h->LogText();
    h.reset();
  }
}

TEST_F(EngineRealLineTest, RepliesSplitAtEveryPositionAreJoined) {
  // The DM offline reply (CRC-30) and a block ACK, cut at every byte, 6 to 40 ms apart.
  const struct {
    const char* kind;
    int length;  // bytes on the wire, flag included
  } replies[] = {{"dmoffline", 8}, {"block", 4}};
  for (const auto& r : replies) {
    for (int gap : {6, 16, 40}) {
      for (int cut = 1; cut < r.length; ++cut) {
        const std::string s = std::string("split=") + r.kind + ":1:" + std::to_string(gap) + ":" + std::to_string(cut);
        Start(s);
        EXPECT_EQ(Download(TYPE_NORMAL, s), End::Completed) << s << "\n" << h->LogText();
        EXPECT_EQ(FramesOf(r.kind == std::string("block") ? 0xDD : 0x29),
                  r.kind == std::string("block") ? 16u : 1u)
            << s << ": nothing was sent twice";
        h.reset();
      }
    }
  }
}

TEST_F(EngineRealLineTest, AVersionReplySplitAnywhereGivesTheSamePhoneInformation) {
  for (int gap : {6, 25, 40}) {
    for (int cut = 1; cut < 57; cut += 5) {
      const std::string s = "split=version:1:" + std::to_string(gap) + ":" + std::to_string(cut);
      h = std::make_unique<CEngineHarness>("rev=203; sw=ABCDEFGH; " + s, kFlashSize);
      h->Init();
      h->Click(IDC_INFO);
      ASSERT_TRUE(h->RunUntil([&] { return LogHas("Mobile version received", kColorBlue); }, 60000)) << s;
      EXPECT_EQ(h->win.Controls().GetText(IDC_SW_VERSION), "Ver02.03    ABCDEFGH") << s;
      EXPECT_EQ(FramesOf(0x00), 1u) << s;
      h.reset();
    }
  }
}

TEST_F(EngineRealLineTest, NoiseBeforeAPlainVersionReplyNeverShowsWrongInformation) {
  // The same noise before two replies makes two alike frames that fail FCS-16, as the replies
  // of a handset with another check would: they are a byte too long for a version reply.
  for (const char* sends : {"1", "1,2"}) {
    for (const char* noise : {"00", "02", "55", "7E"}) {
      const std::string s = std::string("variant=plain; rev=203; sw=ABCDEFGH; junk=version:") + sends + ":" + noise;
      h = std::make_unique<CEngineHarness>(s, kFlashSize);
      h->Init();
      h->Click(IDC_INFO);
      ASSERT_TRUE(h->RunUntil([&] { return !h->win.Controls().GetText(IDC_SW_VERSION).empty(); }, 60000)) << s;
      EXPECT_EQ(h->win.Controls().GetText(IDC_SW_VERSION), "Ver02.03    ABCDEFGH") << s << "\n" << h->LogText();
      EXPECT_EQ(h->dlg->View().phoneRev, 203u) << s;
      h.reset();
    }
  }
}

TEST_F(EngineRealLineTest, ABlockNeverAcknowledgedGivesUpAfterThreeEraseCycles) {
  Start("silent=block:*");
  EXPECT_EQ(Download(TYPE_NORMAL, "silent blocks"), End::Failed);
  EXPECT_EQ(h->events.LastOutcome(), Outcome::NoReply);
  EXPECT_TRUE(LogHas("응답이 없습니다.", kColorRed)) << h->LogText();
  EXPECT_EQ(FramesOf(0xEE), 4u) << "the first erase and three more";
  EXPECT_EQ(FramesOf(0xDD), 4u * 3u) << "the first block three times after each erase";
}

}  // namespace
