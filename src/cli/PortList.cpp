#include "PortList.h"

#include <libudev.h>
#include <sys/stat.h>

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

std::string Text(const char* value) { return value ? std::string(value) : std::string(); }

// A link that points nowhere, or a COM port's path that is no link: itself.
std::string Target(const std::string& path) {
  std::error_code ec;
  if (!fs::is_symlink(path, ec)) return {};
  const fs::path target = fs::canonical(path, ec);
  return ec ? std::string() : target.string();
}

}  // namespace

struct CUdevFacts::Context {
  udev* handle = nullptr;
};

CUdevFacts::CUdevFacts() : m_udev(std::make_unique<Context>()) { m_udev->handle = udev_new(); }

CUdevFacts::~CUdevFacts() {
  if (m_udev->handle) udev_unref(m_udev->handle);
}

std::optional<UsbAdapter> CUdevFacts::Adapter(const std::string& ttyPath) {
  struct stat st {};
  if (!m_udev->handle || ::stat(ttyPath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  std::unique_ptr<udev_device, decltype(&udev_device_unref)> tty(
      udev_device_new_from_devnum(m_udev->handle, 'c', st.st_rdev), &udev_device_unref);
  if (!tty) return std::nullopt;
  // Owned by tty: no reference of its own.
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
  if (!usb) return std::nullopt;
  auto attr = [usb](const char* name) { return Text(udev_device_get_sysattr_value(usb, name)); };
  auto property = [&tty](const char* name) { return Text(udev_device_get_property_value(tty.get(), name)); };
  UsbAdapter a;
  a.vendorId = attr("idVendor");
  a.productId = attr("idProduct");
  a.maker = attr("manufacturer");
  a.product = attr("product");
  a.serial = attr("serial");
  // The database's words where the device has none of its own.
  if (a.vendorId.empty()) a.vendorId = property("ID_VENDOR_ID");
  if (a.productId.empty()) a.productId = property("ID_MODEL_ID");
  if (a.maker.empty()) a.maker = property("ID_VENDOR_FROM_DATABASE");
  if (a.product.empty()) a.product = property("ID_MODEL_FROM_DATABASE");
  if (a.serial.empty()) a.serial = property("ID_SERIAL_SHORT");
  a.driver = property("ID_USB_DRIVER");
  // The first driver on the way up from the tty: the serial interface's.
  for (udev_device* d = udev_device_get_parent(tty.get()); a.driver.empty() && d && d != usb;
       d = udev_device_get_parent(d))
    a.driver = Text(udev_device_get_driver(d));
  return a;
}

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
  if (!a.serial.empty()) text += ", serial " + a.serial;
  if (!a.driver.empty()) text += ", driver " + a.driver;
  return text;
}

void PrintPortList(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& comPorts,
                   const std::vector<SerialPortEntry>& ports) {
  for (const auto& [name, path] : comPorts) {
    out << name << " -> " << (path.empty() ? "(none)" : path);
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
