#include "ConsoleQuestions.h"

#include <cctype>

#include "platform/MessageBox.h"
#include "platform/Translate.h"

CConsoleQuestions::CConsoleQuestions(CConsoleView& view, CliAnswer policy, bool askTerminal, std::istream& in)
    : m_view(view), m_policy(policy), m_askTerminal(askTerminal), m_in(in) {}

int CConsoleQuestions::Show(const std::string& text, unsigned type) {
  const bool question = (type & MB_BUTTONS_MASK) == MB_YESNO;
  if (!question) {
    m_view.Message(text, "", (type & MB_ICON_MASK) == MB_ICONEXCLAMATION);
    return IDOK;
  }
  switch (m_policy) {
    case CliAnswer::Yes:
      m_view.Message(text, Tr(" -> Yes (--yes)"));
      return IDYES;
    case CliAnswer::No:
      m_view.Message(text, Tr(" -> No (--no)"));
      return IDNO;
    case CliAnswer::Ask:
      break;
  }
  if (!m_askTerminal) {
    m_view.Message(text, Tr(" -> No (no terminal to ask; --yes answers Yes)"));
    return IDNO;
  }
  return Ask(text);
}

int CConsoleQuestions::Ask(const std::string& text) {
  m_view.Message(text, Tr(" [y/N]"));
  std::string reply;
  if (!std::getline(m_in, reply)) reply.clear();
  const bool yes = !reply.empty() && std::tolower(static_cast<unsigned char>(reply[0])) == 'y';
  m_view.Note(yes ? Tr("-> Yes") : Tr("-> No"));
  return yes ? IDYES : IDNO;
}
