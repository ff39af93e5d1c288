// `tarvisel-cli ports`: the by-id names of USB adapters with their ttys and what the device
// database says of each adapter, on a made-up /dev; and the real database, which must not
// trip over a machine without USB adapters or over devices that are no adapter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "PortList.h"
#include "Subprocess.h"

namespace fs = std::filesystem;

namespace {

class FakeFacts final : public CDeviceFacts {
 public:
  std::optional<UsbAdapter> Adapter(const std::string& ttyPath) override {
    asked.push_back(ttyPath);
    const auto it = adapters.find(ttyPath);
    return it == adapters.end() ? std::nullopt : std::optional<UsbAdapter>(it->second);
  }
  std::map<std::string, UsbAdapter> adapters;
  std::vector<std::string> asked;
};

class PortListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-ports-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dev = tmpl;
    fs::create_directories(dev + "/serial/by-id");
    fs::create_directories(dev + "/sys/ttyS0/device");
    for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyUSB10", "ttyACM0", "ttyS0", "ttyS1", "null"})
      std::ofstream(dev + "/" + name) << "";
    fs::create_symlink("../../ttyUSB1", dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    fs::create_symlink("../../ttyACM0", dev + "/serial/by-id/usb-Korvane_Handset_0001-if00");
    fs::create_symlink("../../ttyUSB9", dev + "/serial/by-id/usb-Gone_Adapter-if00-port0");  // unplugged
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dev, ec);
  }
  std::string dev;
};

TEST_F(PortListTest, ByIdNamesWithTheirTtyAndAdapterThenTheTtys) {
  FakeFacts facts;
  facts.adapters[dev + "/ttyUSB1"] = {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "ftdi_sio", ""};
  facts.adapters[dev + "/ttyACM0"] = {"1d6b", "0104", "", "", "", "cdc_acm", ""};
  const std::vector<SerialPortEntry> ports = ListSerialPorts(dev, dev + "/sys", &facts);
  std::ostringstream out;
  PrintPortList(out, {{"COM1", dev + "/ttyS0"}, {"COM2", dev + "/serial/by-id/usb-Korvane_Handset_0001-if00"}}, ports);
  const std::string want =
      "COM1 -> " + dev + "/ttyS0\n"
      "COM2 -> " + dev + "/serial/by-id/usb-Korvane_Handset_0001-if00 -> " + dev + "/ttyACM0\n" +
      dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 -> " + dev + "/ttyUSB1\n"
      "    USB 0403:6001, FTDI, FT232R USB UART, serial A50285BI, driver ftdi_sio\n" +
      dev + "/serial/by-id/usb-Gone_Adapter-if00-port0\n" +
      dev + "/serial/by-id/usb-Korvane_Handset_0001-if00 -> " + dev + "/ttyACM0\n"
      "    USB 1d6b:0104, driver cdc_acm\n" +
      dev + "/ttyACM0\n" +
      dev + "/ttyS0\n" +
      dev + "/ttyUSB0\n" +
      dev + "/ttyUSB1\n" +
      dev + "/ttyUSB10\n";
  EXPECT_EQ(out.str(), want);
  // The tty behind each link is what the database is asked about.
  EXPECT_NE(std::find(facts.asked.begin(), facts.asked.end(), dev + "/ttyUSB1"), facts.asked.end());
  EXPECT_EQ(std::find(facts.asked.begin(), facts.asked.end(), dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"),
            facts.asked.end());
}

TEST_F(PortListTest, WithoutByIdFolderOrFactsOnlyTheTtys) {
  fs::remove_all(dev + "/serial");
  const std::vector<SerialPortEntry> ports = ListSerialPorts(dev, dev + "/sys");
  std::vector<std::string> paths;
  for (const auto& p : ports) {
    paths.push_back(p.path.substr(dev.size() + 1));
    EXPECT_FALSE(p.adapter);
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1", "ttyUSB10"}));
}

TEST(UdevFacts, DevicesThatAreNoUsbAdapterHaveNone) {
  CUdevFacts facts;
  for (const char* path : {"/dev/null", "/dev/tty", "/dev/ptmx", "/nonexistent/ttyUSB0", "/tmp", ""})
    EXPECT_FALSE(facts.Adapter(path)) << path;
  // A pty is a tty with no USB device above it.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  EXPECT_FALSE(facts.Adapter(ptsname(master)));
  close(master);
  // The machine as it is: whatever it holds, every entry is listed and none makes it fall over.
  for (const auto& p : ListSerialPorts("/dev", "/sys/class/tty", &facts)) EXPECT_FALSE(p.path.empty());
}

TEST(PortsCommand, ListsWhereTheComPortsPoint) {
  char tmpl[] = "/tmp/tarvisel-portscmd-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  fs::create_symlink("/dev/null", dir + "/handset");
  setenv("TARVISEL_COM2", (dir + "/handset").c_str(), 1);
  const ProcessResult r = RunProgram({TARVISEL_CLI_PATH, "ports"}, dir, "ports");
  unsetenv("TARVISEL_COM2");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("COM1 -> ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("COM2 -> " + dir + "/handset -> /dev/null\n"), std::string::npos) << r.out;
  fs::remove_all(dir);
}

}  // namespace
