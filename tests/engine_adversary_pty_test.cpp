// Answers that could be another send's, in real time over a pty with a handset that hears and
// answers at the line's rate: a resend's late ACK and a repeated ACK must never pass for the
// next block's.
#include <gtest/gtest.h>

#include "SampleImage.h"
#include "support/FlashCheck.h"
#include "support/PtyEngine.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kFlashSize = size_t{256} << 10;
constexpr uint32_t kStart = 0x8000;
constexpr uint32_t kImageSize = kStart + 8 * 4096;

struct PtyCase {
  const char* name;
  const char* scenario;
};

void PrintTo(const PtyCase& c, std::ostream* os) { *os << c.name; }

class EngineAdversaryPtyTest : public ::testing::TestWithParam<PtyCase> {};

TEST_P(EngineAdversaryPtyTest, CompletesWithTheImageInTheFlash) {
  const PtyCase& c = GetParam();
  CPtyEngine run;
  std::string why;
  ASSERT_TRUE(run.Start(std::string("start=download; pace=on; erase-ms=200; ") + c.scenario, kFlashSize, why)) << why;
  const std::vector<uint8_t> image = sim::SampleImage(kImageSize, kStart, 203, 31);
  run.Select(IDC_TYPE, TYPE_EMERGENCY);
  run.Select(IDC_SPEED, 1);
  run.OpenImage(image);
  run.Click(IDC_RUN);
  ASSERT_TRUE(run.RunUntil([&] { return !run.events.finished.empty(); }, 90s))
      << c.name << "\n" << run.win.Controls().LogPlainText(IDC_LOG);
  const std::string log = run.win.Controls().LogPlainText(IDC_LOG);
  ASSERT_EQ(run.events.LastOutcome(), Outcome::Completed) << c.name << "\n" << log;
  run.Stop();
  EXPECT_EQ(run.Model().RequestsWhileOwed(), 0u) << c.name << ": a request left while a reply was owed";
  ExpectImageInRangeOnly(run.Model().Flash().Bytes(), run.FlashBefore(), image.data() + kStart, kStart, kImageSize,
                         c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineAdversaryPtyTest,
    ::testing::Values(PtyCase{"NakedBlockWhoseResendsTake3500msThenTheNextLost",
                              "nak=block:3:A1; stall=block:4-5:3500; silent=block:6"},
                      PtyCase{"AckRepeated60msApartThenTheNextBlockLost", "dup=block:3:60; silent=block:4"}));
// (Named by PrintTo: ctest then names each by it, with no space in the name, and keeps how long
// it took; a test named by its own generator carries a comment that ctest cannot read back.)

}  // namespace
