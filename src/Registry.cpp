#include "Registry.h"

#include <algorithm>
#include <limits>

#include "platform/SettingsFile.h"

namespace {

settings::CSettingsFile Key() {
  return settings::CSettingsFile(settings::DefaultPath(), std::string(CRegistry::kKeyPath),
                                 std::string(CRegistry::kKeyClass));
}

bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// atol without its undefined overflow: a number out of range gives the nearest 32-bit value.
int32_t LeadingNumber(std::string_view text) {
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kLimit);
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min(magnitude, kLimit - 1));
}

}  // namespace

std::string CRegistry::ReadString(std::string_view name) {
  if (HasNul(name)) return {};
  std::optional<std::string> stored = Key().Query(name);
  if (!stored || stored->size() > kMaxText) return {};
  stored->resize(std::min(stored->size(), stored->find('\0')));
  return std::move(*stored);
}

bool CRegistry::WriteString(std::string_view name, std::string_view text) {
  if (HasNul(name) || HasNul(text) || text.size() > kMaxText) return false;
  return Key().Set(name, text);
}

int32_t CRegistry::ReadInt(std::string_view name, int32_t nDefault) {
  const std::string text = ReadString(name);
  return text.empty() ? nDefault : LeadingNumber(text);
}

bool CRegistry::WriteInt(std::string_view name, int32_t nValue) {
  return WriteString(name, std::to_string(nValue));
}
