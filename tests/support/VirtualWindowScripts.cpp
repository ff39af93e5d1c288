// The scripted answers of the virtual-time window: message boxes, the file dialog and the
// font dialog.
#include <cstdio>

#include "DlgFont.h"
#include "platform/MemoryFontView.h"
#include "platform/MessageBoxAnswer.h"
#include "support/VirtualWindow.h"

namespace {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out + "\"";
}

std::string Hex(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(value));
  return buf;
}

}  // namespace

void CVirtualWindow::ExpectMessageBox(const std::string& textOrSubstring, int answer) {
  m_boxScripts.push_back(MessageBoxScript{textOrSubstring, answer});
}

void CVirtualWindow::ExpectFileDialog(std::optional<std::string> path) {
  m_fileScripts.push_back(std::move(path));
}

void CVirtualWindow::ExpectFontDialog(FontDialogScript script) {
  m_fontScripts.push_back(std::move(script));
}

std::vector<std::string> CVirtualWindow::UnusedScripts() const {
  std::vector<std::string> out;
  for (const auto& s : m_boxScripts)
    out.push_back("message box containing " + Quote(s.text) + " -> " + AnswerName(s.answer));
  for (const auto& s : m_fileScripts) out.push_back("file dialog -> " + (s ? Quote(*s) : "cancel"));
  for (const auto& s : m_fontScripts)
    out.push_back("font dialog address=" + (s.addressText ? Quote(*s.addressText) : "untouched") +
                  " count=" + (s.countText ? Quote(*s.countText) : "untouched") +
                  (s.pressOk ? " OK" : " Cancel"));
  return out;
}

int CVirtualWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
  MessageBoxRecord record{Now(), text, caption, type, SafeAnswer(type), false};
  if (m_boxScripts.empty()) {
    Fail("unexpected message box " + Quote(text));
  } else if (text.find(m_boxScripts.front().text) == std::string::npos) {
    // The entry stays: the box it stands for may still come.
    Fail("message box " + Quote(text) + " while expecting one containing " +
         Quote(m_boxScripts.front().text));
  } else {
    const int answer = m_boxScripts.front().answer;
    m_boxScripts.pop_front();
    if (IsPossibleAnswer(type, answer)) {
      record.answer = answer;
      record.scripted = true;
    } else {
      Fail("message box " + Quote(text) + " cannot answer " + AnswerName(answer));
    }
  }
  Record(JournalKind::MessageBox, Quote(text) + " caption=" + Quote(caption) + " type=" +
                                      Hex(type) + " -> " + AnswerName(record.answer));
  m_messageBoxes.push_back(record);
  return record.answer;
}

std::optional<std::string> CVirtualWindow::FileOpenDialog(const FileOpenRequest& request) {
  FileDialogRecord record{Now(), request, std::nullopt, false};
  if (m_fileScripts.empty()) {
    Fail("unexpected file dialog at " + Quote(request.initialFile));
  } else {
    record.answer = std::move(m_fileScripts.front());
    record.scripted = true;
    m_fileScripts.pop_front();
  }
  Record(JournalKind::FileDialog, "initial=" + Quote(request.initialFile) + " -> " +
                                      (record.answer ? Quote(*record.answer) : "cancel"));
  m_fileDialogs.push_back(record);
  return record.answer;
}

int CVirtualWindow::RunFontDialog(CDlgFont& dialog) {
  CMemoryFontView view;
  Record(JournalKind::FontDialog, "open");
  dialog.OnInitDialog(view);
  size_t messagesSeen = 0;
  while (!view.Result()) {
    if (m_fontScripts.empty()) {
      Fail(messagesSeen ? "font dialog still open after a validation message, no script left"
                        : "unexpected font dialog");
      dialog.OnCancel(view);
      break;
    }
    const FontDialogScript script = std::move(m_fontScripts.front());
    m_fontScripts.pop_front();
    for (const auto& [id, text] : {std::pair{IDC_FONT_ADDRESS, &script.addressText},
                                   std::pair{IDC_FONT_COUNT, &script.countText}}) {
      if (!*text) continue;
      const std::string kept = view.Type(id, **text);
      Record(JournalKind::FontDialog, "type " + std::to_string(id) + " " + Quote(**text) +
                                          (kept == **text ? "" : " kept " + Quote(kept)));
    }
    Record(JournalKind::FontDialog, script.pressOk ? "press OK" : "press Cancel");
    if (script.pressOk) dialog.OnOK(view);
    else dialog.OnCancel(view);
    for (; messagesSeen < view.ValidationMessages().size(); ++messagesSeen)
      Record(JournalKind::FontValidation, view.ValidationMessages()[messagesSeen]);
  }
  FontDialogRecord record;
  record.timeMs = Now();
  record.result = view.Result().value_or(IDCANCEL);
  record.addressText = view.GetItemText(IDC_FONT_ADDRESS);
  record.countText = view.GetItemText(IDC_FONT_COUNT);
  record.validationMessages = view.ValidationMessages();
  if (record.result == IDOK) {
    record.fontAddress = dialog.GetFontAddress();
    record.fontSize = dialog.GetFontSize();
  }
  Record(JournalKind::FontDialog,
         record.result == IDOK ? "closed IDOK address=" + Hex(record.fontAddress) + " size=" + Hex(record.fontSize)
                               : "closed IDCANCEL");
  m_fontDialogs.push_back(record);
  return record.result;
}
