#include "DeviceFacts.h"

#include <libudev.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace {

std::string Text(const char* value) { return value ? std::string(value) : std::string(); }

constexpr const char* kByIdFolder = "/dev/serial/by-id/";

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
  for (udev_list_entry* e = udev_device_get_devlinks_list_entry(tty.get()); e; e = udev_list_entry_get_next(e)) {
    const std::string link = Text(udev_list_entry_get_name(e));
    if (link.rfind(kByIdFolder, 0) == 0) {
      a.byId = link;
      break;
    }
  }
  return a;
}

DeviceIdentity IdentifyDevice(const std::string& path, CDeviceFacts* facts) {
  DeviceIdentity id;
  std::error_code ec;
  const std::filesystem::path tty = std::filesystem::canonical(path, ec);
  if (ec) return id;
  id.tty = tty.string();
  if (path.rfind(kByIdFolder, 0) == 0) id.byId = path;
  if (const auto adapter = facts ? facts->Adapter(id.tty) : std::nullopt) {
    id.serial = adapter->serial;
    if (!adapter->byId.empty()) id.byId = adapter->byId;
  }
  return id;
}
