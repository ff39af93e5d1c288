#pragma once
// What is known of the device behind a serial port: the USB adapter udev describes (ids, maker,
// serial number, driver, its /dev/serial/by-id name) and the tty a path leads to. For `ports`,
// watch's --match and the record of every download.
#include <memory>
#include <optional>
#include <string>

struct UsbAdapter {
  std::string vendorId;   // "0403"
  std::string productId;  // "6001"
  std::string maker;
  std::string product;
  std::string serial;
  std::string driver;  // the kernel driver of the serial interface ("ftdi_sio", "cdc_acm")
  std::string byId;    // the link udev made for the tty under /dev/serial/by-id, if any
};

// The kernel's device database, or a test's table.
class CDeviceFacts {
 public:
  virtual ~CDeviceFacts() = default;
  // The USB adapter behind a tty device node; nullopt when it is none or nothing is known.
  virtual std::optional<UsbAdapter> Adapter(const std::string& ttyPath) = 0;
};

// The facts from libudev. Without a device database (a container), it knows nothing.
class CUdevFacts final : public CDeviceFacts {
 public:
  CUdevFacts();
  ~CUdevFacts() override;
  CUdevFacts(const CUdevFacts&) = delete;
  CUdevFacts& operator=(const CUdevFacts&) = delete;
  std::optional<UsbAdapter> Adapter(const std::string& ttyPath) override;

 private:
  struct Context;
  std::unique_ptr<Context> m_udev;
};

// What the record keeps of a device path: the tty it leads to (empty when it leads nowhere),
// and where the facts know them, the adapter's serial number and by-id name.
struct DeviceIdentity {
  std::string tty;
  std::string serial;
  std::string byId;
};
DeviceIdentity IdentifyDevice(const std::string& path, CDeviceFacts* facts);
