#include "ConsoleQuestions.h"

#include <cctype>

#include "platform/MessageBox.h"

std::string FormatBoxText(const std::string& text) {
  std::string out = "message: ";
  size_t from = 0;
  // Boxes end some texts with a line break that carries nothing.
  std::string body = text;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
  while (true) {
    const size_t nl = body.find('\n', from);
    out += body.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
    if (nl == std::string::npos) break;
    out += "\n         ";
    from = nl + 1;
  }
  return out;
}

CConsoleQuestions::CConsoleQuestions(CConsoleView& view, CliAnswer policy, bool askTerminal, std::istream& in)
    : m_view(view), m_policy(policy), m_askTerminal(askTerminal), m_in(in) {}

int CConsoleQuestions::Show(const std::string& text, unsigned type) {
  const bool question = (type & MB_BUTTONS_MASK) == MB_YESNO;
  if (!question) {
    m_view.Note(FormatBoxText(text), (type & MB_ICON_MASK) == MB_ICONEXCLAMATION);
    return IDOK;
  }
  switch (m_policy) {
    case CliAnswer::Yes:
      m_view.Note(FormatBoxText(text) + " -> Yes (--yes)");
      return IDYES;
    case CliAnswer::No:
      m_view.Note(FormatBoxText(text) + " -> No (--no)");
      return IDNO;
    case CliAnswer::Ask:
      break;
  }
  if (!m_askTerminal) {
    m_view.Note(FormatBoxText(text) + " -> No (no terminal to ask; --yes answers Yes)");
    return IDNO;
  }
  return Ask(text);
}

int CConsoleQuestions::Ask(const std::string& text) {
  m_view.Note(FormatBoxText(text) + " [y/N]");
  std::string reply;
  if (!std::getline(m_in, reply)) reply.clear();
  const bool yes = !reply.empty() && std::tolower(static_cast<unsigned char>(reply[0])) == 'y';
  m_view.Note(yes ? "-> Yes" : "-> No");
  return yes ? IDYES : IDNO;
}
