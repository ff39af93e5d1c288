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
