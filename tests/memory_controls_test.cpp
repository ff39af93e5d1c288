// The in-memory controls: defaults of unknown ids, combo selection, the log runs, and the
// change reports the console front-end prints from.
#include "platform/MemoryControls.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

TEST(MemoryControls, UnknownIdsStartEnabledShownAndEmpty) {
  CMemoryControls c;
  EXPECT_TRUE(c.IsEnabled(1003));
  EXPECT_TRUE(c.IsShown(1003));
  EXPECT_EQ(c.GetText(1002), "");
  EXPECT_EQ(c.GetComboSel(1009), -1);
  EXPECT_TRUE(c.GetComboItems(1009).empty());
  EXPECT_EQ(c.LogPlainText(1000), "");
  EXPECT_EQ(c.ProgressLower(1005), 0);
  EXPECT_EQ(c.ProgressUpper(1005), 100);
  EXPECT_EQ(c.ProgressPos(1005), 0);
  EXPECT_TRUE(c.IsProgressTextEnabled(1005));
  EXPECT_FALSE(c.Exists(1003)) << "reading must not create a control";
  c.Enable(1003, true);
  EXPECT_TRUE(c.Exists(1003));
}

TEST(MemoryControls, ComboSelectionStaysInsideTheItems) {
  const struct { int index; int expected; } cases[] = {
      {0, 0}, {2, 2}, {3, -1}, {-1, -1}, {-7, -1}, {1, 1},
  };
  CMemoryControls c;
  c.SetComboItems(1011, {"NORMAL", "EMERGENCY", "FONT"});
  for (const auto& k : cases) {
    c.SetComboSel(1011, k.index);
    EXPECT_EQ(c.GetComboSel(1011), k.expected) << "index " << k.index;
  }
  c.SetComboItems(1011, {"NORMAL", "EMERGENCY", "FONT"});
  EXPECT_EQ(c.GetComboSel(1011), -1) << "refilling the list drops the selection";
  c.SetComboSel(1010, 0);
  EXPECT_EQ(c.GetComboSel(1010), -1) << "a list without items has nothing to select";
}

TEST(MemoryControls, LogKeepsRunsAndPlainText) {
  CMemoryControls c;
  c.AppendRichText(1000, "\na", 0xFF0000, true);
  c.AppendRichText(1000, "", 0x0000FF, true);  // nothing to show
  c.AppendRichText(1000, "\nb", 0x0000FF, false);
  EXPECT_EQ(c.LogPlainText(1000), "\na\nb");
  const std::vector<RichTextRun> runs{{"\na", 0xFF0000, true}, {"\nb", 0x0000FF, false}};
  EXPECT_EQ(c.LogRuns(1000), runs);
  EXPECT_EQ(c.LogPlainText(1001), "") << "logs are per control";
  c.ClearRichText(1000);
  EXPECT_TRUE(c.LogRuns(1000).empty());
  EXPECT_EQ(c.LogPlainText(1000), "");
}

TEST(MemoryControls, ObserverHearsEveryChangeAndNothingElse) {
  using Call = std::function<void(CMemoryControls&)>;
  const struct { const char* what; Call call; std::vector<std::string> heard; } steps[] = {
      {"text", [](auto& c) { c.SetText(1018, "Addr = 0x10000"); }, {"1018 text \"Addr = 0x10000\""}},
      {"same text", [](auto& c) { c.SetText(1018, "Addr = 0x10000"); }, {}},
      {"enable as default", [](auto& c) { c.Enable(1003, true); }, {}},
      {"disable", [](auto& c) { c.Enable(1003, false); }, {"1003 enabled off"}},
      {"hide", [](auto& c) { c.Show(1005, false); }, {"1005 shown off"}},
      {"items", [](auto& c) { c.SetComboItems(1010, {"57600", "115200"}); }, {"1010 items [\"57600\", \"115200\"]"}},
      {"select", [](auto& c) { c.SetComboSel(1010, 1); }, {"1010 sel 1"}},
      {"select outside", [](auto& c) { c.SetComboSel(1010, 5); }, {"1010 sel -1"}},
      {"select again", [](auto& c) { c.SetComboSel(1010, 0); }, {"1010 sel 0"}},
      {"same items", [](auto& c) { c.SetComboItems(1010, {"57600", "115200"}); }, {"1010 sel -1"}},
      {"append", [](auto& c) { c.AppendRichText(1000, "\n\"x\"", 0xFF0000, true); },
       {"1000 append \"\\n\\\"x\\\"\" color=0xff0000 bold"}},
      {"append plain", [](auto& c) { c.AppendRichText(1000, "y", 0, false); }, {"1000 append \"y\" color=0x000000"}},
      {"clear", [](auto& c) { c.ClearRichText(1000); }, {"1000 clear"}},
      {"clear empty", [](auto& c) { c.ClearRichText(1000); }, {}},
      {"range", [](auto& c) { c.SetProgressRange(1005, 0, 3); }, {"1005 range 0..3"}},
      {"pos", [](auto& c) { c.SetProgressPos(1005, 1); }, {"1005 pos 1"}},
      {"pos beyond range", [](auto& c) { c.SetProgressPos(1005, 9); }, {"1005 pos 9"}},
      {"bar text", [](auto& c) { c.SetProgressText(1005, "Downloading completed 33%"); },
       {"1005 progress text \"Downloading completed 33%\""}},
      {"text off", [](auto& c) { c.EnableProgressText(1005, false); }, {"1005 progress text off"}},
  };
  CMemoryControls c;
  std::vector<std::string> heard;
  c.AddObserver([&](const ControlEvent& e) { heard.push_back(DescribeControlEvent(e)); });
  for (const auto& step : steps) {
    heard.clear();
    step.call(c);
    EXPECT_EQ(heard, step.heard) << step.what;
  }
  EXPECT_EQ(c.ProgressPos(1005), 9) << "the text bar is neither clamped nor checked";
}

TEST(MemoryControls, EveryObserverHearsAndOneMayAddAnother) {
  CMemoryControls c;
  int first = 0, second = 0, late = 0;
  c.AddObserver([&](const ControlEvent&) {
    if (first++ == 0) c.AddObserver([&](const ControlEvent&) { ++late; });
  });
  c.AddObserver([&](const ControlEvent&) { ++second; });
  c.SetText(1, "a");
  c.SetText(1, "b");
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(late, 1) << "added during the first change, hears from the second on";
}

}  // namespace
