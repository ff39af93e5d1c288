// A few rows of the fault table in real time, through the receive thread and a pty: EMERGENCY
// downloads, whose handset starts in download mode. The ends are the table's; the invariant
// the virtual-time suite checks holds here too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "SampleImage.h"
#include "support/FaultTable.h"
#include "support/FlashCheck.h"
#include "support/PtyEngine.h"

namespace {

using namespace faults;
using namespace std::chrono_literals;

constexpr size_t kFlashSize = size_t{256} << 10;  // room past the range, which must not change
constexpr uint32_t kStart = 0x8000;
constexpr uint32_t kImageSize = 0x18000;  // 16 blocks from kStart

struct PtyRow {
  const char* step;
  FaultKind kind;
  Span span;
};

void PrintTo(const PtyRow& r, std::ostream* os) { *os << r.step << " / " << FaultName(Fault{r.kind, r.span, 0}); }

// The case of the table at that step with that fault.
Case RowCase(const PtyRow& row) {
  Case c;
  c.type = TYPE_EMERGENCY;
  for (const Step& s : DownloadSteps(TYPE_EMERGENCY, 16)) {
    if (s.name != row.step) continue;
    for (const Fault& f : FaultsFor(s)) {
      if (f.kind == row.kind && f.span == row.span) {
        c.step = s;
        c.fault = f;
        c.variant = VariantFor(s, f);
        return c;
      }
    }
  }
  ADD_FAILURE() << "no such row in the table: " << row.step;
  return c;
}

class EngineFaultPtyTest : public ::testing::TestWithParam<PtyRow> {};

TEST_P(EngineFaultPtyTest, EndsAsTheTableSays) {
  const Case c = RowCase(GetParam());
  const std::string label = c.Label();
  const Expectation want = Expect(c);
  CPtyEngine run;
  std::string why;
  ASSERT_TRUE(run.Start("start=download; erase-ms=200; " + c.Rule(), kFlashSize, why)) << why;
  const std::vector<uint8_t> image = sim::SampleImage(kImageSize, kStart, 203, 777);
  run.Select(IDC_TYPE, TYPE_EMERGENCY);
  run.OpenImage(image);
  run.Click(IDC_RUN);
  ASSERT_TRUE(run.RunUntil([&] { return !run.events.finished.empty(); }, 60s))
      << label << "\n" << run.win.Controls().LogPlainText(IDC_LOG);
  auto& ctl = run.win.Controls();
  const std::string log = ctl.LogPlainText(IDC_LOG);
  const bool idle = ctl.IsEnabled(IDC_OPEN) && ctl.IsEnabled(IDC_RUN) && ctl.IsEnabled(IDC_TODM) &&
                    ctl.IsEnabled(IDC_INFO) && !ctl.IsEnabled(IDC_STOP);
  const bool completed = run.events.LastOutcome() == Outcome::Completed;
  EXPECT_EQ(OutcomeName(*run.events.LastOutcome()), std::string(OutcomeName(want.outcome))) << label << "\n" << log;
  EXPECT_EQ(completed, run.Shown("Downloading completed")) << label;
  if (!completed) {
    EXPECT_TRUE(idle) << label << ": the idle buttons are not back";
  }
  run.Stop();
  EXPECT_EQ(run.events.finished.size(), 1u) << label;
  EXPECT_EQ(run.Model().RequestsWhileOwed(), 0u) << label << ": a request left while a reply was owed";
  if (completed) {
    const auto& flash = run.Model().Flash().Bytes();
    const auto& before = run.FlashBefore();
    ExpectImageInRangeOnly(flash, before, image.data() + kStart, kStart, kImageSize, label);
  }
}

// A resend, a first reply that fails its check, a reply in pieces, a duplicate of a short
// request's ACK (told from the next answer by the wait before it, in real time), a reply lost
// at another speed, a contradicting reply in the same read, and a handset that goes away.
INSTANTIATE_TEST_SUITE_P(Rows, EngineFaultPtyTest,
                         ::testing::Values(PtyRow{"block 8 (middle)", FaultKind::Silent, Span::Once},
                                           PtyRow{"download start", FaultKind::BadFcs16, Span::Once},
                                           PtyRow{"block 8 (middle)", FaultKind::Split, Span::Once},
                                           PtyRow{"module copy", FaultKind::Duplicate, Span::Once},
                                           PtyRow{"block 8 (middle)", FaultKind::WrongSpeed, Span::Once},
                                           PtyRow{"block 8 (middle)", FaultKind::Contradiction, Span::Once},
                                           PtyRow{"block 8 (middle)", FaultKind::HangUp, Span::Once}),
                         [](const ::testing::TestParamInfo<PtyRow>& info) {
                           std::string s = std::string(info.param.step) + "_" +
                                           FaultName(Fault{info.param.kind, info.param.span, 0});
                           for (char& ch : s) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return s;
                         });

}  // namespace
