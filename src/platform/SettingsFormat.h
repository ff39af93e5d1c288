#pragma once
// The text of a settings file: one registry-like key and its string values.
//
//   [SOFTWARE\KORVANE\DOWNLOADER]
//   class="Korvane Integrated Downloader"
//   "PORT"="1"
//   "BIN_PATH"="/home/kim/펌웨어 \"새\"/"
//
// The first line names the key and is what makes a file ours; it is compared literally. Names and
// texts are quoted, and inside the quotes a backslash starts an escape: \\ \" \n \r \t, and \xHH
// (two hex digits) for every other byte below 0x20 and for 0x7F. All other bytes, UTF-8 included,
// stand for themselves. So any byte string round-trips, and no value ever spans two lines.
//
// Reading is forgiving about what hands do to a file: lines may end in CR LF and the last line needs
// no line break. A line that is not exactly a value line or the class line (blank, a note, a cut-off
// quote, an unknown escape, junk) is skipped, so a damaged line reads as a missing value; a rewrite
// drops it. When a name appears twice, the later line wins.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace settings {

struct Value {
  std::string name;
  std::string text;
};

struct KeyContents {
  std::string keyClass;       // empty when the file has no class line
  std::vector<Value> values;  // in file order, names unique

  const std::string* Find(std::string_view name) const;
  void Set(std::string_view name, std::string_view text);
};

// "text" with the escapes above.
std::string Quote(std::string_view raw);

// Decodes the quoted string that starts at line[pos] and moves pos past its closing quote.
// nullopt when line[pos] is no quote, the closing quote is missing or an escape is unknown.
std::optional<std::string> Unquote(std::string_view line, size_t& pos);

// nullopt when the text is not a settings file of the key: its first line is not "[keyPath]".
// An empty text is an empty key, as a file that was created and never written.
std::optional<KeyContents> Parse(std::string_view fileText, std::string_view keyPath);

std::string Format(const KeyContents& doc, std::string_view keyPath);

}  // namespace settings
