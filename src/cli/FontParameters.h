#pragma once
// The FONT download's parameters from the command line, through the font dialog's own rules.
#include <optional>
#include <string>

class CDlgFont;

// Fills the dialog's fields with the values given (the dialog's defaults for the others) and
// presses OK. Returns IDOK, or IDCANCEL with why holding the dialog's message.
int RunFontParameters(CDlgFont& dialog, const std::optional<std::string>& address,
                      const std::optional<std::string>& blocks, std::string& why);
