#include "platform/Translate.h"

#include <libintl.h>

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

constexpr const char* kDomain = "tarvisel";

// The locale the user asked for messages, as the C library reads it.
std::string AskedMessagesLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return "";
}

bool IsCLocale(const std::string& name) { return name.empty() || name == "C" || name == "POSIX"; }

// "en_US.UTF-8@euro" -> "en_US", "en"
void AddLanguage(std::vector<std::string>& out, std::string name) {
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty() || IsCLocale(name)) return;
  out.push_back(name);
  const auto underscore = name.find('_');
  if (underscore != std::string::npos) out.push_back(name.substr(0, underscore));
}

}  // namespace

const char* Tr(const char* text) { return dgettext(kDomain, text); }

std::string TrFormat(const char* format, ...) {
  const char* translated = Tr(format);
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, translated, args);
  va_end(args);
  std::string out(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(out.data(), out.size() + 1, translated, again);
  va_end(again);
  return out;
}

std::string DataFolder(const std::string& buildTree, const std::string& installed) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return buildTree;
#ifdef TARVISEL_BUILD_DIR
  const fs::path build = fs::weakly_canonical(TARVISEL_BUILD_DIR, ec);
  const auto rel = self.lexically_relative(build);
  if (!ec && !rel.empty() && *rel.begin() != "..") return buildTree;
#endif
  return (self.parent_path().parent_path() / installed).string();
}

void StartTranslations() {
  const std::string asked = AskedMessagesLocale();
  // Messages only: LC_NUMERIC stays C, so numbers in the log, JSON and CSV do not change.
  if (!std::setlocale(LC_MESSAGES, "") && !IsCLocale(asked) && std::setlocale(LC_MESSAGES, "C.UTF-8")) {
    // The user's locale is not installed (a system without the locales package). gettext still
    // finds the catalogue through LANGUAGE under a C.UTF-8 that is not plain C.
    setenv("LANGUAGE", asked.c_str(), 0);
  }
#ifdef TARVISEL_BUILD_DIR
  const std::string tree = std::string(TARVISEL_BUILD_DIR) + "/locale";
#else
  const std::string tree;
#endif
  bindtextdomain(kDomain, DataFolder(tree, "share/locale").c_str());
  // The texts are written as UTF-8 whatever the locale's character set (the terminal and Qt read UTF-8).
  bind_textdomain_codeset(kDomain, "UTF-8");
}

std::vector<std::string> MessageLanguages() {
  const char* current = std::setlocale(LC_MESSAGES, nullptr);
  std::vector<std::string> out;
  if (!current || IsCLocale(current)) return out;
  // LANGUAGE, a list, replaces the locale's language as gettext takes it.
  if (const char* list = std::getenv("LANGUAGE"); list && *list) {
    const std::string rest = list;
    for (std::size_t at = 0;;) {
      const auto colon = rest.find(':', at);
      AddLanguage(out, rest.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
      if (colon == std::string::npos) return out;
      at = colon + 1;
    }
  }
  AddLanguage(out, current);
  return out;
}
