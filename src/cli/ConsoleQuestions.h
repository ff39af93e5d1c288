#pragma once
// The window's message boxes on a console: notices become lines; a question is asked at the
// terminal, or answered by --yes / --no, or, with neither, answered No, and the line says so.
#include <functional>
#include <istream>
#include <string>

#include "CliOptions.h"
#include "ConsoleView.h"

class CConsoleQuestions {
 public:
  // askTerminal: standard input is a terminal the question may be asked at.
  CConsoleQuestions(CConsoleView& view, CliAnswer policy, bool askTerminal, std::istream& in);

  // Shows the box and returns its answer (IDOK, IDYES or IDNO).
  int Show(const std::string& text, unsigned type);

 private:
  int Ask(const std::string& text);

  CConsoleView& m_view;
  CliAnswer m_policy;
  bool m_askTerminal;
  std::istream& m_in;
};
