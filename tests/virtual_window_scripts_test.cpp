// Scripted answers of the virtual-time window: message boxes, the file dialog and the font
// dialog, and what happens when a question comes that nobody expected.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DlgFont.h"
#include "support/VirtualWindow.h"

namespace {

const FileOpenRequest kOpenRequest{"bin", "C:\\fw\\*.bin",
                                   "Download Binary File (*.bin)|*.bin|All Files (*.*)|*.*||"};

TEST(VirtualWindowScripts, MessageBoxesAreAnsweredInOrderBySubstring) {
  CVirtualWindow w;
  w.ExpectMessageBox("Downloading completed", IDOK);
  w.ExpectMessageBox("버젼", IDYES);
  w.ExpectMessageBox("", IDNO);  // any text
  EXPECT_EQ(w.MessageBox("Downloading completed", "", MB_OK), IDOK);
  EXPECT_EQ(w.MessageBox("단말기 버젼이 다릅니다. 계속할까요?", "Tarvisel", MB_YESNO | MB_ICONEXCLAMATION), IDYES);
  EXPECT_EQ(w.MessageBox("Anything at all?", "", MB_YESNO), IDNO);
  EXPECT_TRUE(w.Failures().empty()) << w.JournalText();
  EXPECT_TRUE(w.UnusedScripts().empty());
  ASSERT_EQ(w.MessageBoxes().size(), 3u);
  const auto& second = w.MessageBoxes()[1];
  EXPECT_EQ(second.caption, "Tarvisel");
  EXPECT_EQ(second.type, MB_YESNO | MB_ICONEXCLAMATION);
  EXPECT_EQ(second.answer, IDYES);
  EXPECT_TRUE(second.scripted);
}

TEST(VirtualWindowScripts, UnexpectedMessageBoxesGetTheHarmlessAnswerAndAFailure) {
  const struct {
    const char* what;
    std::vector<std::pair<std::string, int>> scripts;
    unsigned type;
    int answer;
    size_t unused;
  } cases[] = {
      {"no script, question", {}, MB_YESNO, IDNO, 0},
      {"no script, notice", {}, MB_OK | MB_ICONINFORMATION, IDOK, 0},
      {"other text", {{"Can't open COM Port", IDOK}}, MB_YESNO, IDNO, 1},
      {"answer the buttons cannot give", {{"Go on?", IDOK}}, MB_YESNO, IDNO, 0},
      {"yes to a notice", {{"Go on?", IDYES}}, MB_OK, IDOK, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CVirtualWindow w;
    for (const auto& [text, answer] : c.scripts) w.ExpectMessageBox(text, answer);
    EXPECT_EQ(w.MessageBox("Go on?", "", c.type), c.answer);
    EXPECT_EQ(w.Failures().size(), 1u);
    EXPECT_EQ(w.UnusedScripts().size(), c.unused);
    ASSERT_EQ(w.MessageBoxes().size(), 1u);
    EXPECT_FALSE(w.MessageBoxes()[0].scripted);
  }
}

TEST(VirtualWindowScripts, AMismatchKeepsTheEntryForTheBoxItStandsFor) {
  CVirtualWindow w;
  w.ExpectMessageBox("Downloading completed", IDOK);
  EXPECT_EQ(w.MessageBox("First, Select right bin file", "", MB_OK), IDOK);
  EXPECT_EQ(w.MessageBox("Downloading completed", "", MB_OK), IDOK);
  EXPECT_EQ(w.Failures().size(), 1u);
  EXPECT_TRUE(w.UnusedScripts().empty());
  EXPECT_TRUE(w.MessageBoxes()[1].scripted);
}

TEST(VirtualWindowScripts, FileDialogsAnswerFromTheScript) {
  CVirtualWindow w;
  w.ExpectFileDialog("C:\\fw\\a.BIN");
  w.ExpectFileDialog(std::nullopt);
  EXPECT_EQ(w.FileOpenDialog(kOpenRequest), std::optional<std::string>("C:\\fw\\a.BIN"));
  EXPECT_EQ(w.FileOpenDialog(kOpenRequest), std::nullopt);
  EXPECT_TRUE(w.Failures().empty());
  EXPECT_EQ(w.FileOpenDialog(kOpenRequest), std::nullopt) << "unexpected: cancelled";
  EXPECT_EQ(w.Failures().size(), 1u);
  ASSERT_EQ(w.FileDialogs().size(), 3u);
  EXPECT_EQ(w.FileDialogs()[0].request.initialFile, "C:\\fw\\*.bin");
  EXPECT_EQ(w.FileDialogs()[0].request.filter, kOpenRequest.filter);
  EXPECT_FALSE(w.FileDialogs()[2].scripted);
}

TEST(VirtualWindowScripts, FontDialogRunsToOkWithTheTypedValues) {
  const struct {
    const char* what;
    FontDialogScript script;
    uint32_t address, size;
    std::string addressKept;
  } cases[] = {
      {"count untouched", {"0", std::nullopt, true}, 0, 65536, "0"},
      {"address and count", {"200000", "2", true}, 0x200000, 0x20000, "200000"},
      {"seventh character refused", {"1234567", "100", true}, 0x123456, 6553600, "123456"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CVirtualWindow w;
    w.ExpectFontDialog(c.script);
    CDlgFont dlg;
    EXPECT_EQ(w.RunFontDialog(dlg), IDOK);
    EXPECT_EQ(dlg.GetFontAddress(), c.address);
    EXPECT_EQ(dlg.GetFontSize(), c.size);
    EXPECT_TRUE(w.Failures().empty()) << w.JournalText();
    ASSERT_EQ(w.FontDialogs().size(), 1u);
    const auto& r = w.FontDialogs()[0];
    EXPECT_EQ(r.result, IDOK);
    EXPECT_EQ(r.addressText, c.addressKept);
    EXPECT_EQ(r.fontAddress, c.address);
    EXPECT_EQ(r.fontSize, c.size);
    EXPECT_TRUE(r.validationMessages.empty());
  }
}

TEST(VirtualWindowScripts, FontDialogStaysOpenAfterAValidationMessage) {
  CVirtualWindow w;
  w.ExpectFontDialog({"8000", "0", true});
  w.ExpectFontDialog({std::nullopt, "5", true});  // the address typed before is still there
  CDlgFont dlg;
  EXPECT_EQ(w.RunFontDialog(dlg), IDOK);
  EXPECT_EQ(dlg.GetFontAddress(), 0x8000u);
  EXPECT_EQ(dlg.GetFontSize(), 5u << 16);
  EXPECT_TRUE(w.Failures().empty()) << w.JournalText();
  ASSERT_EQ(w.FontDialogs().size(), 1u) << "one dialog, two visits";
  EXPECT_EQ(w.FontDialogs()[0].validationMessages,
            std::vector<std::string>{"Please enter an integer between 1 and 100."});
  const auto validations = w.JournalOf(JournalKind::FontValidation);
  ASSERT_EQ(validations.size(), 1u);
  EXPECT_EQ(validations[0].detail, "Please enter an integer between 1 and 100.");
}

TEST(VirtualWindowScripts, FontDialogCancelledOrUnscripted) {
  const struct {
    const char* what;
    std::vector<FontDialogScript> scripts;
    size_t failures;
    size_t validations;
  } cases[] = {
      {"cancel pressed", {{"10", "3", false}}, 0, 0},
      {"no script", {}, 1, 0},
      {"refused and no script left", {{"10", "x", true}}, 1, 1},
      {"wide characters are no hex digits", {{"가나다라마바사", std::nullopt, true}}, 1, 1},
      {"the address left empty (it would be 0)", {{std::nullopt, "1", true}}, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CVirtualWindow w;
    for (const auto& s : c.scripts) w.ExpectFontDialog(s);
    CDlgFont dlg;
    EXPECT_EQ(w.RunFontDialog(dlg), IDCANCEL);
    EXPECT_EQ(dlg.GetFontSize(), 0u) << "nothing taken over";
    EXPECT_EQ(w.Failures().size(), c.failures) << w.JournalText();
    ASSERT_EQ(w.FontDialogs().size(), 1u);
    EXPECT_EQ(w.FontDialogs()[0].result, IDCANCEL);
    EXPECT_EQ(w.FontDialogs()[0].validationMessages.size(), c.validations);
  }
}

}  // namespace
