// The console side: log lines and progress with and without a terminal, boxes and answers,
// and the FONT parameters through the dialog's rules.
#include <gtest/gtest.h>

#include <sstream>

#include "CommandRunner.h"
#include "ConsoleQuestions.h"
#include "ConsoleView.h"
#include "DlgFont.h"
#include "FontParameters.h"
#include "TarviselDlg.h"

namespace {

// Programs 20 blocks, one a second on the view's clock, with a log line in the middle.
std::string Program(ConsoleStyle style) {
  std::ostringstream out;
  uint64_t now = 0;
  CConsoleView view(out, style, [&] { return now; });
  view.LogLine(LogTone::Step, "Flash programming 시작");
  view.Progress({0, 20, 0x4000, 0});
  for (int i = 1; i <= 20; ++i) {
    now += 1000;
    view.Progress({i, 20, static_cast<uint32_t>(0x4000 + (i - 1) * 0x1000), static_cast<uint64_t>(i) * 4096});
    if (i == 7) view.LogLine(LogTone::Error, "패킷 재전송 ADDRESS: 0x000a000h");
  }
  view.Programmed(20400);
  view.Note("message: Downloading completed");
  return out.str();
}

TEST(ConsoleView, WithoutATerminalPlainLinesAtEveryTenPercent) {
  const std::string out = Program({false, false});
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(out.find('\r'), std::string::npos);
  for (int p = 10; p <= 100; p += 10)
    EXPECT_NE(out.find("programming " + std::to_string(p) + "% ("), std::string::npos) << p;
  // 4 KiB a second; half done after 10 s leaves 10 s.
  EXPECT_NE(out.find("programming 50% (0xd000, 4.0 KiB/s, 0:10 left)"), std::string::npos) << out;
  EXPECT_NE(out.find("\n패킷 재전송 ADDRESS: 0x000a000h\n"), std::string::npos);
  EXPECT_LT(out.find("Flash programming 시작"), out.find("programming 10%"));
  EXPECT_NE(out.find("Elapsed time : 0 min 20 sec\nmessage: Downloading completed\n"), std::string::npos) << out;
}

TEST(ConsoleView, OnATerminalColoursAndOneLineInPlace) {
  const std::string out = Program({true, false});
  EXPECT_NE(out.find("\x1b[31m패킷 재전송 ADDRESS: 0x000a000h\x1b[0m\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\r\x1b[K[###############---------------] 50% "), std::string::npos) << out;
  EXPECT_EQ(out.find("programming 50%"), std::string::npos);
  // The finished bar stays; the elapsed time follows on a line of its own.
  EXPECT_NE(out.find("100% 0x17000, 4.0 KiB/s, 0:00 left\nElapsed time"), std::string::npos) << out;
  // Black lines stay in the terminal's own colour.
  EXPECT_NE(out.find("Flash programming 시작\n"), std::string::npos);
  EXPECT_EQ(out.find("m" "Flash programming"), std::string::npos);
}

// NO_COLOR: the terminal keeps its line in place, but no colour reaches it.
TEST(ConsoleView, NoColorKeepsTheLineInPlaceWithoutColours) {
  const struct {
    const char* value;
    bool colour;
  } cases[] = {{nullptr, true}, {"", true}, {"1", false}, {"yes please", false}};
  for (const auto& c : cases) EXPECT_EQ(ColourWanted(c.value), c.colour) << (c.value ? c.value : "(unset)");

  const std::string out = Program({true, false, ColourWanted("1")});
  EXPECT_NE(out.find("\r\x1b[K패킷 재전송 ADDRESS: 0x000a000h\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b[3"), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b[0m"), std::string::npos) << out;
  EXPECT_NE(out.find("\r\x1b[K[###############---------------] 50% "), std::string::npos) << out;
}

TEST(ConsoleView, QuietKeepsOnlyErrorsAndNotes) {
  const std::string out = Program({false, true});
  EXPECT_EQ(out, "패킷 재전송 ADDRESS: 0x000a000h\nmessage: Downloading completed\n");
}

TEST(ConsoleQuestions, AnswersByPolicyAndTerminal) {
  struct Case {
    CliAnswer policy;
    bool terminal;
    std::string typed;
    int answer;
    std::string says;
  };
  const std::vector<Case> cases = {
      {CliAnswer::Yes, false, "", IDYES, "-> Yes (--yes)"},
      {CliAnswer::No, true, "y\n", IDNO, "-> No (--no)"},
      {CliAnswer::Ask, false, "y\n", IDNO, "-> No (no terminal to ask; --yes answers Yes)"},
      {CliAnswer::Ask, true, "yes\n", IDYES, "-> Yes"},
      {CliAnswer::Ask, true, "\n", IDNO, "-> No"},
      {CliAnswer::Ask, true, "", IDNO, "-> No"},  // end of input
  };
  for (const auto& c : cases) {
    std::ostringstream out;
    std::istringstream in(c.typed);
    CConsoleView view(out, {}, [] { return uint64_t{0}; });
    CConsoleQuestions questions(view, c.policy, c.terminal, in);
    EXPECT_EQ(questions.Show("S/W version is different. Downloading continue?", MB_YESNO), c.answer) << c.typed;
    EXPECT_NE(out.str().find(c.says), std::string::npos) << out.str();
  }
  std::ostringstream out;
  std::istringstream in;
  CConsoleView view(out, {}, [] { return uint64_t{0}; });
  CConsoleQuestions questions(view, CliAnswer::Ask, true, in);
  EXPECT_EQ(questions.Show("Can't open COM Port\nbusy\n", MB_OK), IDOK);
  EXPECT_EQ(out.str(), "message: Can't open COM Port\n         busy\n");
}

TEST(FontParameters, TheDialogsRulesDecide) {
  struct Case {
    std::optional<std::string> address, blocks;
    int result;
    uint32_t start, size;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"200000", "8", IDOK, 0x200000, 8u << 16, ""},
      {"0", std::nullopt, IDOK, 0, 1u << 16, ""},
      {std::nullopt, "1", IDCANCEL, 0, 0, "Please enter the start address in hexadecimal digits (0-9, A-F)."},
      {"1234567", "1", IDCANCEL, 0, 0, "Please enter no more than 6 characters."},
      {"10", "0", IDCANCEL, 0, 0, "Please enter an integer between 1 and 100."},
      {"10", "101", IDCANCEL, 0, 0, "Please enter an integer between 1 and 100."},
      {"10", "many", IDCANCEL, 0, 0, "Please enter an integer."},
      {"zz", "1", IDCANCEL, 0, 0, "Please enter the start address in hexadecimal digits (0-9, A-F)."},
      {"0x2100", "1", IDCANCEL, 0, 0, "Please enter the start address in hexadecimal digits (0-9, A-F)."},
  };
  for (const auto& c : cases) {
    CDlgFont dialog;
    std::string why;
    EXPECT_EQ(RunFontParameters(dialog, c.address, c.blocks, why), c.result) << c.address.value_or("-");
    EXPECT_EQ(why, c.why);
    if (c.result == IDOK) {
      EXPECT_EQ(dialog.GetFontAddress(), c.start);
      EXPECT_EQ(dialog.GetFontSize(), c.size);
    }
  }
}

}  // namespace
