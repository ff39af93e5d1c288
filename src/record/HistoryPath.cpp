#include "HistoryPath.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

std::string Home() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) return found->pw_dir;
  return {};
}

}  // namespace

std::string DefaultHistoryPath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data && data[0] == '/') {
    base = data;
  } else {
    const std::string home = Home();
    if (home.empty()) return {};
    base = home + "/.local/share";
  }
  return base + "/tarvisel/history.sqlite";
}
