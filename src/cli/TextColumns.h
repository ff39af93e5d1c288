#pragma once
// Text in columns on a console: widths in code points, since device names and the handset's
// texts may hold UTF-8.
#include <cstddef>
#include <string>

size_t TextWidth(const std::string& text);
// The first width code points.
std::string CutText(const std::string& text, size_t width);
// Spaces after the text up to width.
std::string PadText(const std::string& text, size_t width);
// Text that came from a handset or a device, as a terminal may show it: control characters
// (C0, DEL, C1) as \xHH or \u0085, so that none moves the cursor, clears the screen or changes
// the colours; a backslash as \\, so that what is shown stays one to one. lines: line breaks
// are kept (a message box's lines).
std::string TerminalText(const std::string& text, bool lines = false);
