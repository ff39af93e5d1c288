#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "Comm/TextProgressCtrl.h"

namespace {

constexpr uint32_t kHighlight = 0xC68C30;  // stored blue-green-red
constexpr uint32_t kWindow = 0xFFFFFF;

class CFakeSurface : public CProgressSurface {
 public:
  bool HasWindow() const override { return m_bWindow; }
  int ClientWidth() const override { return m_nWidth; }
  void RedrawNow() override { ++m_nRedraws; }
  void Invalidate() override { ++m_nInvalidates; }

  bool m_bWindow = true;
  int m_nWidth = 200;
  int m_nRedraws = 0;
  int m_nInvalidates = 0;
};

struct TextProgressCtrlTest : ::testing::Test {
  CFakeSurface surface;
  CTextProgressCtrl ctrl{kHighlight, kWindow, &surface};
};

TEST_F(TextProgressCtrlTest, RedrawsOnlyWhenTheBarEdgeMovesByAPixel) {
  ctrl.SetRange(0, 1000);  // 200 px wide: one pixel every 5 positions
  struct Step {
    int32_t pos;
    int redraws;  // total so far
    int32_t pixels;
  };
  const std::vector<Step> steps = {
      {1, 1, 0},    // -1 at construction forces the first one
      {2, 1, 0},    // 0.4 px: same width, no redraw though 0.1% became 0.2%
      {4, 1, 0},    //
      {5, 2, 1},    //
      {9, 2, 1},    //
      {500, 3, 100},
      {500, 3, 100},
      {3, 4, 0},    // backwards too
  };
  int32_t previous = 0;
  for (const Step& s : steps) {
    EXPECT_EQ(ctrl.SetPos(s.pos), previous) << s.pos;
    EXPECT_EQ(surface.m_nRedraws, s.redraws) << s.pos;
    EXPECT_EQ(ctrl.GetBarPixels(), s.pixels) << s.pos;
    previous = s.pos;
  }
  EXPECT_EQ(surface.m_nInvalidates, 0);
}

TEST_F(TextProgressCtrlTest, ResizeMakesTheNextSetPosRedrawAtTheSamePosition) {
  ctrl.SetPos(50);
  ASSERT_EQ(surface.m_nRedraws, 1);
  ctrl.SetPos(50);
  EXPECT_EQ(surface.m_nRedraws, 1);
  ctrl.OnSize();
  ctrl.SetPos(50);
  EXPECT_EQ(surface.m_nRedraws, 2);
  // A new width moves the edge by itself.
  surface.m_nWidth = 300;
  ctrl.SetPos(50);
  EXPECT_EQ(surface.m_nRedraws, 3);
  EXPECT_EQ(ctrl.GetBarPixels(), 150);
}

TEST_F(TextProgressCtrlTest, WithoutAWindowPositionsAreRefusedAndNothingChanges) {
  surface.m_bWindow = false;
  for (bool withSurface : {false, true}) {
    CTextProgressCtrl lone(kHighlight, kWindow, withSurface ? &surface : nullptr);
    EXPECT_EQ(lone.SetPos(40), -1);
    EXPECT_EQ(lone.OffsetPos(3), -1);
    EXPECT_EQ(lone.StepIt(), -1);
    EXPECT_EQ(lone.GetPos(), 0);
    EXPECT_EQ(lone.GetBarPixels(), -1);
    lone.EnableText(false);
    EXPECT_FALSE(lone.IsTextEnabled());  // stored, but nothing to repaint
    lone.OnSetText("x");
    EXPECT_EQ(lone.GetText(), "x");
  }
  EXPECT_EQ(surface.m_nRedraws + surface.m_nInvalidates, 0);
}

TEST_F(TextProgressCtrlTest, OffsetAndStepMoveFromTheCurrentPosition) {
  ctrl.SetPos(10);
  EXPECT_EQ(ctrl.OffsetPos(-4), 10);
  EXPECT_EQ(ctrl.GetPos(), 6);
  ctrl.SetStep(5);
  EXPECT_EQ(ctrl.StepIt(), 6);
  EXPECT_EQ(ctrl.StepIt(), 11);
  EXPECT_EQ(ctrl.GetPos(), 16);
  ctrl.SetPos(INT_MAX);
  ctrl.OffsetPos(1);  // wraps like the 32-bit field it is, no overflow
  EXPECT_EQ(ctrl.GetPos(), INT_MIN);
}

TEST_F(TextProgressCtrlTest, EmptyOrReversedRangeDrawsNothing) {
  struct Range {
    int32_t lower, upper;
  };
  for (Range r : {Range{0, 0}, Range{5, 5}, Range{5, 1}, Range{0, -1}}) {
    surface.m_nRedraws = 0;
    ctrl.SetRange(r.lower, r.upper);
    for (int32_t pos : {-1, 0, 3, 5}) {
      ctrl.SetPos(pos);
      EXPECT_FALSE(ctrl.PaintPlan(200, 20).bDraw) << r.lower << ".." << r.upper << " @" << pos;
    }
    if (r.lower == r.upper) {
      EXPECT_EQ(surface.m_nRedraws, 0);
      EXPECT_EQ(ctrl.GetBarPixels(), -1);
    }
  }
  // A range again: the first position redraws, since the equal range left -1 behind.
  ctrl.SetRange(5, 5);
  ctrl.SetPos(0);
  ctrl.SetRange(0, 10);
  surface.m_nRedraws = 0;
  ctrl.SetPos(0);
  EXPECT_EQ(surface.m_nRedraws, 1);
  EXPECT_TRUE(ctrl.PaintPlan(200, 20).bDraw);
}

TEST_F(TextProgressCtrlTest, PaintPlanSplitsTheClientAtTheTruncatedEdge) {
  struct Case {
    int32_t lower, upper, pos;
    int width;
    int edge;
    const char* text;
  };
  const std::vector<Case> cases = {
      {0, 100, 0, 200, 0, "0%"},      {0, 3, 1, 200, 66, "33%"},
      {0, 3, 2, 200, 133, "66%"},     {0, 3, 3, 200, 200, "100%"},
      {10, 20, 15, 99, 49, "50%"},    {0, 100, 150, 200, 200, "150%"},  // edge stays inside
      {0, 100, -30, 200, 0, "-30%"},  {INT_MIN, INT_MAX, 0, 200, 100, "50%"},
      {0, 1, INT_MAX, 200, 200, "2147483647%"},
  };
  for (const Case& c : cases) {
    ctrl.SetRange(c.lower, c.upper);
    ctrl.SetPos(c.pos);
    const CProgressPaintPlan plan = ctrl.PaintPlan(c.width, 24);
    ASSERT_TRUE(plan.bDraw);
    EXPECT_EQ(plan.rcClient, (CProgressRect{0, 0, c.width, 24}));
    EXPECT_EQ(plan.rcBar, (CProgressRect{0, 0, c.edge, 24})) << c.pos;
    EXPECT_EQ(plan.rcBack, (CProgressRect{c.edge, 0, c.width, 24})) << c.pos;
    EXPECT_TRUE(plan.bShowText);
    EXPECT_EQ(plan.strText, c.text);
  }
}

TEST_F(TextProgressCtrlTest, ColoursComeFromHighlightAndWindowAndChangeWithoutRedraw) {
  CProgressPaintPlan plan = ctrl.PaintPlan(10, 10);
  EXPECT_EQ(plan.crBar, kHighlight);
  EXPECT_EQ(plan.crBackText, kHighlight);
  EXPECT_EQ(plan.crBack, kWindow);
  EXPECT_EQ(plan.crBarText, kWindow);
  ctrl.SetBarColor(0x0000FF);
  ctrl.SetBackColor(0x00FF00);
  ctrl.SetBarTextColor(0xFF0000);
  ctrl.SetBackTextColor(0);
  plan = ctrl.PaintPlan(10, 10);
  EXPECT_EQ(plan.crBar, 0x0000FFu);
  EXPECT_EQ(plan.crBack, 0x00FF00u);
  EXPECT_EQ(plan.crBarText, 0xFF0000u);
  EXPECT_EQ(plan.crBackText, 0u);
  EXPECT_EQ(surface.m_nRedraws + surface.m_nInvalidates, 0);
}

TEST_F(TextProgressCtrlTest, WindowTextReplacesThePercentageAndRepaintsOnlyOnChange) {
  ctrl.SetRange(0, 4);
  ctrl.SetPos(1);
  struct Step {
    const char* text;  // null: a null text
    int invalidates;   // total so far
    const char* shown;
  };
  const std::vector<Step> steps = {
      {nullptr, 0, "25%"},  // null over no text changes nothing
      {"", 0, "25%"},
      {"Downloading completed 50%", 1, "Downloading completed 50%"},
      {"Downloading completed 50%", 1, "Downloading completed 50%"},
      {"", 2, "25%"},
      {"다운로드", 3, "다운로드"},
      {nullptr, 4, "25%"},
  };
  for (const Step& s : steps) {
    EXPECT_TRUE(ctrl.OnSetText(s.text));
    EXPECT_EQ(surface.m_nInvalidates, s.invalidates) << (s.text ? s.text : "(null)");
    EXPECT_EQ(ctrl.PaintPlan(100, 20).strText, s.shown);
  }
  EXPECT_EQ(surface.m_nRedraws, 1);  // only the SetPos above
}

TEST_F(TextProgressCtrlTest, EnableTextRepaintsOnChangeAndHidesTheText) {
  ctrl.OnSetText("abc");
  surface.m_nInvalidates = 0;
  ctrl.EnableText(true);
  EXPECT_EQ(surface.m_nInvalidates, 0);
  ctrl.EnableText(false);
  EXPECT_EQ(surface.m_nInvalidates, 1);
  EXPECT_FALSE(ctrl.PaintPlan(100, 20).bShowText);
  EXPECT_TRUE(ctrl.PaintPlan(100, 20).strText.empty());
  ctrl.EnableText(false);
  EXPECT_EQ(surface.m_nInvalidates, 1);
  ctrl.EnableText(true);
  EXPECT_EQ(surface.m_nInvalidates, 2);
  EXPECT_EQ(ctrl.PaintPlan(100, 20).strText, "abc");
}

TEST_F(TextProgressCtrlTest, GetTextCopiesWholeCharactersOnly) {
  // "a" then 가 and 나, three bytes each: 7 bytes.
  const std::string text = "a\xEA\xB0\x80\xEB\x82\x98";
  ctrl.OnSetText(text.c_str());
  struct Case {
    size_t n;
    size_t copied;
  };
  const std::vector<Case> cases = {
      {1, 0}, {2, 1}, {3, 1}, {4, 1}, {5, 4}, {6, 4}, {7, 4}, {8, 7}, {64, 7},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer(c.n + 4, '#');
    EXPECT_EQ(ctrl.OnGetText(c.n, buffer.data()), c.copied) << c.n;
    EXPECT_EQ(std::string(buffer.data()), text.substr(0, c.copied)) << c.n;
    // Nothing written past the terminator.
    for (size_t i = c.copied + 1; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << c.n;
  }
  char untouched = '#';
  EXPECT_EQ(ctrl.OnGetText(0, &untouched), 0u);
  EXPECT_EQ(untouched, '#');
  EXPECT_EQ(ctrl.OnGetText(10, nullptr), 0u);
}

TEST_F(TextProgressCtrlTest, GetTextKeepsStrayBytesThatStartNoCharacter) {
  // Continuation bytes with no lead and a four-byte character.
  const std::string text = "\x80\x80\x80\x80\x80" "b\xF0\x9F\x98\x80";
  ctrl.OnSetText(text.c_str());
  char buffer[16];
  EXPECT_EQ(ctrl.OnGetText(5, buffer), 4u);  // cut among strays: nothing to keep whole
  EXPECT_EQ(ctrl.OnGetText(8, buffer), 6u);
  EXPECT_EQ(ctrl.OnGetText(10, buffer), 6u);
  EXPECT_EQ(ctrl.OnGetText(11, buffer), 10u);
}

}  // namespace
