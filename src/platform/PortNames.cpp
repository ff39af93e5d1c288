#include "platform/PortNames.h"

#include <cstdlib>

namespace {
std::string FromEnv(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  return v ? std::string(v) : std::string();
}
}  // namespace

std::string PortDisplayName(unsigned port) {
  if (port <= 4) return "COM" + std::to_string(port);
  return "\\\\.\\TELNET";
}

std::string PortDevicePath(unsigned port) {
  if (port == 0) return {};
  if (port <= 4) {
    std::string env = FromEnv("TARVISEL_COM" + std::to_string(port));
    return env.empty() ? "/dev/ttyS" + std::to_string(port - 1) : env;
  }
  return FromEnv("TARVISEL_TELNET");
}
