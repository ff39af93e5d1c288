#include "DlgFont.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <vector>

namespace {

class FakeView : public CDlgFontView {
 public:
  std::map<int, std::string> texts;
  std::map<int, int> reads, limits;
  int spinLo = 0, spinHi = 0, spinPos = 0, focus = 0;
  std::vector<std::string> messages;
  std::vector<int> ended;

  std::string GetItemText(int id) override {
    ++reads[id];
    return texts[id];
  }
  void SetItemText(int id, const std::string& text) override { texts[id] = text; }
  void LimitText(int id, int n) override { limits[id] = n; }
  void SetSpinRange(int lo, int hi) override { spinLo = lo, spinHi = hi; }
  void SetSpinPos(int pos) override { spinPos = pos; }
  void SetFocus(int id) override { focus = id; }
  void ShowValidationMessage(const std::string& text) override { messages.push_back(text); }
  void EndDialog(int result) override { ended.push_back(result); }
};

struct Shown {
  CDlgFont dlg;
  FakeView view;
  Shown() { dlg.OnInitDialog(view); }
};

TEST(DlgFont, InitShowsDefaults) {
  Shown s;
  EXPECT_EQ(s.view.texts[IDC_FONT_COUNT], "1");
  EXPECT_EQ(s.view.texts[IDC_FONT_ADDRESS], "");
  EXPECT_EQ(s.view.limits[IDC_FONT_ADDRESS], 6);
  EXPECT_EQ(s.view.spinLo, 1);
  EXPECT_EQ(s.view.spinHi, 100);
  EXPECT_EQ(s.view.spinPos, 1);
  EXPECT_EQ(s.view.focus, IDOK);
  EXPECT_TRUE(s.view.messages.empty());
  EXPECT_TRUE(s.view.ended.empty());
}

TEST(DlgFont, OkAccepts) {
  const struct { const char* address; const char* count; uint32_t addr, size; } cases[] = {
      {"FFFFFF", "1", 0xFFFFFF, 65536},
      {"1a2B", "2", 0x1A2B, 0x20000},
      {"0", "100", 0, 6553600},
      {"8000", " \t7 ", 0x8000, 7u << 16},
      {"0", "+050", 0, 50u << 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address ? c.address : "untouched");
    Shown s;
    if (c.address) s.view.texts[IDC_FONT_ADDRESS] = c.address;
    if (c.count) s.view.texts[IDC_FONT_COUNT] = c.count;
    s.dlg.OnOK(s.view);
    EXPECT_TRUE(s.view.messages.empty());
    EXPECT_EQ(s.view.ended, std::vector<int>{IDOK});
    EXPECT_EQ(s.dlg.GetFontAddress(), c.addr);
    EXPECT_EQ(s.dlg.GetFontSize(), c.size);
  }
}

TEST(DlgFont, OkRefusesAndStaysOpen) {
  const std::string notInt = "Please enter an integer.";
  const std::string range = "Please enter an integer between 1 and 100.";
  const std::string hex = "Please enter the start address in hexadecimal digits (0-9, A-F).";
  const struct { const char* count; const char* address; const std::string& message; int focus; } cases[] = {
      {"0", "10", range, IDC_FONT_COUNT},
      {"101", "10", range, IDC_FONT_COUNT},
      {"-1", "10", range, IDC_FONT_COUNT},
      {"99999999999999999999", "10", range, IDC_FONT_COUNT},
      {"abc", "10", notInt, IDC_FONT_COUNT},
      {"", "10", notInt, IDC_FONT_COUNT},
      {" ", "10", notInt, IDC_FONT_COUNT},
      {"+", "10", notInt, IDC_FONT_COUNT},
      {"1 2", "10", notInt, IDC_FONT_COUNT},
      {"5x", "10", notInt, IDC_FONT_COUNT},
      {"0x5", "10", notInt, IDC_FONT_COUNT},
      {"3", "1234567", "Please enter no more than 6 characters.", IDC_FONT_ADDRESS},
      // Text that is not hexadecimal would have written the font at its leading digits or at 0.
      {"3", "12G4", hex, IDC_FONT_ADDRESS},
      {"3", "0x12", hex, IDC_FONT_ADDRESS},
      {"3", "zz", hex, IDC_FONT_ADDRESS},
      {"3", "-1", hex, IDC_FONT_ADDRESS},
      {"3", " 10", hex, IDC_FONT_ADDRESS},
      // No address would be address 0: the start of the flash.
      {"3", "", hex, IDC_FONT_ADDRESS},
      {"1", "", hex, IDC_FONT_ADDRESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Shown s;
    s.view.focus = IDOK;
    s.view.texts[IDC_FONT_COUNT] = c.count;
    s.view.texts[IDC_FONT_ADDRESS] = c.address;
    s.dlg.OnOK(s.view);
    EXPECT_EQ(s.view.messages, std::vector<std::string>{c.message});
    EXPECT_EQ(s.view.focus, c.focus);
    EXPECT_TRUE(s.view.ended.empty());
    EXPECT_EQ(s.dlg.GetFontSize(), 0u);
    EXPECT_EQ(s.dlg.GetFontAddress(), 0u);

    s.view.texts[IDC_FONT_COUNT] = "2";  // corrected: the same dialog now accepts
    s.view.texts[IDC_FONT_ADDRESS] = "10";
    s.dlg.OnOK(s.view);
    EXPECT_EQ(s.view.ended, std::vector<int>{IDOK});
    EXPECT_EQ(s.dlg.GetFontAddress(), 0x10u);
    EXPECT_EQ(s.dlg.GetFontSize(), 0x20000u);
  }
}

TEST(DlgFont, SpinStepsWithinRangeAndKeepsTheAddress) {
  const struct { int pos, delta, count; } cases[] = {
      {1, -1, 1}, {100, 1, 100}, {5, 1, 6}, {5, -1, 4}, {0, -1, 1}, {INT_MAX, 1, 100}, {INT_MIN, -1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pos << " " << c.delta);
    Shown s;
    s.view.texts[IDC_FONT_ADDRESS] = "AB12";
    s.view.texts[IDC_FONT_COUNT] = "50";  // typed; the step follows the control's position
    EXPECT_EQ(s.dlg.OnDeltaposSpin(s.view, c.pos, c.delta), 0);
    EXPECT_EQ(s.view.texts[IDC_FONT_COUNT], std::to_string(c.count));
    EXPECT_EQ(s.view.texts[IDC_FONT_ADDRESS], "AB12");
    EXPECT_TRUE(s.view.messages.empty());
    s.dlg.OnOK(s.view);
    EXPECT_EQ(s.dlg.GetFontSize(), static_cast<uint32_t>(c.count) << 16);
    EXPECT_EQ(s.dlg.GetFontAddress(), 0xAB12u);
  }
}

TEST(DlgFont, CancelReadsNothing) {
  Shown s;
  s.view.texts[IDC_FONT_COUNT] = "abc";
  s.view.texts[IDC_FONT_ADDRESS] = "1234567";
  s.dlg.OnCancel(s.view);
  EXPECT_EQ(s.view.ended, std::vector<int>{IDCANCEL});
  EXPECT_TRUE(s.view.reads.empty());
  EXPECT_TRUE(s.view.messages.empty());
  EXPECT_EQ(s.dlg.GetFontAddress(), 0u);
  EXPECT_EQ(s.dlg.GetFontSize(), 0u);
}

}  // namespace
