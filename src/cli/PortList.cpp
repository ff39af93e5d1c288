#include "PortList.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// ttyS10 after ttyS9.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto digits = [](const std::string& s) { return s.find_first_of("0123456789"); };
  const size_t da = digits(a), db = digits(b);
  if (da != db || da == std::string::npos || a.compare(0, da, b, 0, db) != 0) return a < b;
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(const std::string& devRoot, const std::string& sysRoot) {
  std::vector<SerialPortEntry> ports;
  std::error_code ec;
  std::vector<SerialPortEntry> byId;
  for (const auto& e : fs::directory_iterator(devRoot + "/serial/by-id", ec)) {
    std::error_code ec2;
    const fs::path target = fs::canonical(e.path(), ec2);
    byId.push_back({e.path().string(), ec2 ? std::string() : target.string()});
  }
  std::sort(byId.begin(), byId.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  ports.insert(ports.end(), byId.begin(), byId.end());

  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(devRoot, ec)) {
    const std::string name = e.path().filename().string();
    const bool usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
    const bool uart = name.rfind("ttyS", 0) == 0;
    if (!usb && !uart) continue;
    // Most kernels create ttyS0..ttyS31 whatever the hardware; only those with a device behind
    // them are ports.
    if (uart) {
      std::error_code ec2;
      if (!fs::exists(sysRoot + "/" + name + "/device", ec2)) continue;
    }
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  for (const auto& n : names) ports.push_back({devRoot + "/" + n, {}});
  return ports;
}
