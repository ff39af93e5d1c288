#include "TextColumns.h"

#include <algorithm>

size_t TextWidth(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string CutText(const std::string& text, size_t width) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((text[i] & 0xC0) != 0x80 && seen++ == width) return text.substr(0, i);
  }
  return text;
}

std::string PadText(const std::string& text, size_t width) {
  const size_t w = TextWidth(text);
  return w >= width ? text : text + std::string(width - w, ' ');
}

std::string TerminalText(const std::string& text, bool lines) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      shown += "\\\\";
    } else if ((c < 0x20 && !(lines && c == '\n')) || c == 0x7F) {
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 0x0F];
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080..U+009F: CSI (U+009B) starts an escape sequence on many terminals.
      const auto d = static_cast<unsigned char>(text[++i]);
      shown += "\\u00";
      shown += kHex[d >> 4];
      shown += kHex[d & 0x0F];
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}
