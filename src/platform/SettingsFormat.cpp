#include "platform/SettingsFormat.h"

#include <algorithm>

namespace settings {
namespace {

constexpr std::string_view kClassPrefix = "class=";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view WithoutCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Adds the line to the key when it is a well-formed value or class line.
void ParseLine(std::string_view line, KeyContents& doc) {
  size_t pos = 0;
  if (line.starts_with(kClassPrefix)) {
    pos = kClassPrefix.size();
    auto keyClass = Unquote(line, pos);
    if (keyClass && pos == line.size()) doc.keyClass = std::move(*keyClass);
    return;
  }
  auto name = Unquote(line, pos);
  if (!name || pos >= line.size() || line[pos] != '=') return;
  ++pos;
  auto text = Unquote(line, pos);
  if (!text || pos != line.size()) return;
  doc.Set(*name, *text);
}

}  // namespace

const std::string* KeyContents::Find(std::string_view name) const {
  auto it = std::find_if(values.begin(), values.end(), [&](const Value& v) { return v.name == name; });
  return it == values.end() ? nullptr : &it->text;
}

void KeyContents::Set(std::string_view name, std::string_view text) {
  auto it = std::find_if(values.begin(), values.end(), [&](const Value& v) { return v.name == name; });
  if (it == values.end()) {
    values.push_back({std::string(name), std::string(text)});
  } else {
    it->text = text;
  }
}

std::string Quote(std::string_view raw) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(raw.size() + 2);
  out += '"';
  for (char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\x";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::optional<std::string> Unquote(std::string_view line, size_t& pos) {
  if (pos >= line.size() || line[pos] != '"') return std::nullopt;
  std::string out;
  for (size_t i = pos + 1; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      pos = i + 1;
      return out;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= line.size()) return std::nullopt;
    switch (line[i]) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        if (i + 2 >= line.size()) return std::nullopt;
        const int hi = HexDigit(line[i + 1]);
        const int lo = HexDigit(line[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<KeyContents> Parse(std::string_view fileText, std::string_view keyPath) {
  KeyContents doc;
  if (fileText.empty()) return doc;
  bool first = true;
  while (!fileText.empty()) {
    const size_t end = fileText.find('\n');
    std::string_view line = WithoutCr(fileText.substr(0, end));
    fileText.remove_prefix(end == std::string_view::npos ? fileText.size() : end + 1);
    if (first) {
      if (line.size() != keyPath.size() + 2 || line.front() != '[' || line.back() != ']' ||
          line.substr(1, keyPath.size()) != keyPath) {
        return std::nullopt;
      }
      first = false;
      continue;
    }
    ParseLine(line, doc);
  }
  return doc;
}

std::string Format(const KeyContents& doc, std::string_view keyPath) {
  std::string out;
  out += '[';
  out += keyPath;
  out += "]\n";
  if (!doc.keyClass.empty()) {
    out += kClassPrefix;
    out += Quote(doc.keyClass);
    out += '\n';
  }
  for (const Value& v : doc.values) {
    out += Quote(v.name);
    out += '=';
    out += Quote(v.text);
    out += '\n';
  }
  return out;
}

}  // namespace settings
