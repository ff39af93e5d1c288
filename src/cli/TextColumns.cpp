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
