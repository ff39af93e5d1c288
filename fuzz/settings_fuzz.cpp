// The settings file reader on any text: what it parses must format to a text that parses to the
// same key, and the file reader must answer as the parser does.
//
// Input: the file's text.
#include <string_view>

#include "FuzzSupport.h"
#include "Registry.h"
#include "platform/SettingsFile.h"
#include "platform/SettingsFormat.h"

namespace {

bool Same(const settings::KeyContents& a, const settings::KeyContents& b) {
  if (a.keyClass != b.keyClass || a.values.size() != b.values.size()) return false;
  for (size_t i = 0; i < a.values.size(); ++i) {
    if (a.values[i].name != b.values[i].name || a.values[i].text != b.values[i].text) return false;
  }
  return true;
}

void CheckQuoting(const std::string& raw) {
  const std::string quoted = settings::Quote(raw);
  FUZZ_CHECK(quoted.find('\n') == std::string::npos && quoted.find('\r') == std::string::npos,
             "a quoted text spans lines");
  size_t pos = 0;
  const auto back = settings::Unquote(quoted, pos);
  FUZZ_CHECK(back && *back == raw && pos == quoted.size(), "a text does not survive its quotes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view key = CRegistry::kKeyPath;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto doc = settings::Parse(text, key);

  const std::string header = "[" + std::string(key) + "]";
  const bool ours = text.empty() || (text.starts_with(header) &&
                                     (text.size() == header.size() || text.substr(header.size()).starts_with("\n") ||
                                      text.substr(header.size()).starts_with("\r\n") ||
                                      (text.substr(header.size()) == "\r")));
  FUZZ_CHECK(doc.has_value() == ours, "a file taken as ours or not by its first line");

  if (doc) {
    for (size_t i = 0; i < doc->values.size(); ++i) {
      for (size_t j = i + 1; j < doc->values.size(); ++j) {
        FUZZ_CHECK(doc->values[i].name != doc->values[j].name, "a name twice");
      }
      CheckQuoting(doc->values[i].name);
      CheckQuoting(doc->values[i].text);
    }
    CheckQuoting(doc->keyClass);
    const std::string formatted = settings::Format(*doc, key);
    const auto again = settings::Parse(formatted, key);
    FUZZ_CHECK(again && Same(*doc, *again), "a key that does not survive its own format");
    FUZZ_CHECK(settings::Format(*again, key) == formatted, "format is not a fixed point");
  }

  // The reader on the same text in a file answers as the parser does.
  const std::string path = fuzz::Scratch().File("settings");
  fuzz::WriteWhole(path, data, size);
  const settings::CSettingsFile file(path, std::string(key), std::string(CRegistry::kKeyClass));
  std::vector<std::string> names = {"PORT", "BIN_PATH", ""};
  if (doc) {
    for (size_t i = 0; i < doc->values.size() && i < 4; ++i) names.push_back(doc->values[i].name);
  }
  for (const auto& name : names) {
    const auto got = file.Query(name);
    const std::string* want = doc ? doc->Find(name) : nullptr;
    FUZZ_CHECK(got.has_value() == (want != nullptr), "a value found or not");
    if (want) FUZZ_CHECK(*got == *want, "a value's text");
  }
  return 0;
}
