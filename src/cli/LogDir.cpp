#include "LogDir.h"

#include <cctype>

std::string HandsetLogPath(const std::string& dir, const std::string& device, std::time_t start) {
  std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
  while (!name.empty() && name.front() == '/') name.erase(0, 1);
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/') c = '_';
    else if (!std::isalnum(u) && c != '.' && c != '-' && c != '_') c = '-';
  }
  if (name.empty()) name = "device";
  std::tm tm{};
  localtime_r(&start, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + name + "-" + stamp + ".log";
}
