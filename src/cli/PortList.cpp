#include "PortList.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "JsonEvents.h"
#include "platform/Translate.h"

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

// A link that points nowhere, or a COM port's path that is no link: itself.
std::string Target(const std::string& path) {
  std::error_code ec;
  if (!fs::is_symlink(path, ec)) return {};
  const fs::path target = fs::canonical(path, ec);
  return ec ? std::string() : target.string();
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(const std::string& devRoot, const std::string& sysRoot,
                                             CDeviceFacts* facts) {
  std::vector<SerialPortEntry> ports;
  std::error_code ec;
  std::vector<SerialPortEntry> byId;
  for (const auto& e : fs::directory_iterator(devRoot + "/serial/by-id", ec)) {
    std::error_code ec2;
    const fs::path target = fs::canonical(e.path(), ec2);
    byId.push_back({e.path().string(), ec2 ? std::string() : target.string(), std::nullopt});
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
  for (const auto& n : names) ports.push_back({devRoot + "/" + n, {}, std::nullopt});
  if (facts)
    for (auto& p : ports) p.adapter = facts->Adapter(p.target.empty() ? p.path : p.target);
  return ports;
}

std::string DescribeAdapter(const UsbAdapter& a) {
  std::string text = "USB " + (a.vendorId.empty() ? "?" : a.vendorId) + ":" + (a.productId.empty() ? "?" : a.productId);
  for (const std::string* part : {&a.maker, &a.product})
    if (!part->empty()) text += ", " + *part;
  if (!a.serial.empty()) text += Tr(", serial ") + a.serial;
  if (!a.driver.empty()) text += Tr(", driver ") + a.driver;
  return text;
}

void PrintPortList(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& comPorts,
                   const std::vector<SerialPortEntry>& ports) {
  for (const auto& [name, path] : comPorts) {
    out << name << " -> " << (path.empty() ? Tr("(none)") : path);
    const std::string target = path.empty() ? std::string() : Target(path);
    if (!target.empty()) out << " -> " << target;
    out << "\n";
  }
  std::vector<std::string> described;  // ttys whose adapter a by-id line has named
  for (const auto& p : ports) {
    out << p.path;
    if (!p.target.empty()) out << " -> " << p.target;
    out << "\n";
    const std::string& tty = p.target.empty() ? p.path : p.target;
    if (p.adapter && std::find(described.begin(), described.end(), tty) == described.end()) {
      out << "    " << DescribeAdapter(*p.adapter) << "\n";
      described.push_back(tty);
    }
  }
  out << std::flush;
}

void PrintPortListJson(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& comPorts,
                       const std::vector<SerialPortEntry>& ports, bool modemManager) {
  using json = nlohmann::ordered_json;
  const auto orNull = [](const std::string& text) { return text.empty() ? json(nullptr) : json(text); };
  for (const auto& [name, path] : comPorts)
    WriteJsonLine(out, {{"com", name}, {"path", orNull(path)}, {"target", orNull(path.empty() ? path : Target(path))}});
  for (const auto& p : ports) {
    json usb = nullptr;
    if (p.adapter) {
      const UsbAdapter& a = *p.adapter;
      usb = {{"vendor_id", orNull(a.vendorId)}, {"product_id", orNull(a.productId)}, {"maker", orNull(a.maker)},
             {"product", orNull(a.product)},    {"serial", orNull(a.serial)},       {"driver", orNull(a.driver)}};
    }
    WriteJsonLine(out, {{"device", p.path}, {"target", orNull(p.target)}, {"usb", usb}});
  }
  WriteJsonLine(out, {{"modem_manager", modemManager}});
}

const char* const kModemManagerNote = TrLater(
    "ModemManager is running: it probes new serial ports and may send bytes to a handset in download mode. "
    "List your adapters in the tarvisel udev rule (70-tarvisel-modemmanager.rules), or stop it during "
    "downloads (sudo systemctl stop ModemManager).");

bool ModemManagerRunning(const std::string& procRoot) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(procRoot, ec)) {
    const std::string name = e.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream comm(e.path() / "comm");
    std::string program;
    if (std::getline(comm, program) && program == "ModemManager") return true;
  }
  return false;
}

PortLead PortLeadsTo(const std::string& portName, const std::string& chosenBy, const std::string& device,
                     const std::string& sysRoot) {
  const std::string kElse = Tr(": give --device PATH (tarvisel-cli ports lists the serial ports)");
  if (device.empty())
    return {TrFormat("port %s (%s) names no device", portName.c_str(), chosenBy.c_str()) + kElse, true};
  const std::string target = Target(device);
  const std::string shown = TrFormat("port %s (%s) is %s", portName.c_str(), chosenBy.c_str(), device.c_str()) +
                            (target.empty() ? "" : " -> " + target);
  std::error_code ec;
  const std::string tty = target.empty() ? device : target;
  if (!fs::exists(tty, ec)) return {shown + Tr(", which does not exist") + kElse, true};
  const std::string name = fs::path(tty).filename().string();
  if (name.rfind("ttyS", 0) == 0 && !fs::exists(sysRoot + "/" + name + "/device", ec))
    return {shown + Tr(", which has no hardware behind it") + kElse, true};
  return {shown, false};
}
