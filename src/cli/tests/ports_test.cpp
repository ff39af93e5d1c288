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

#include <nlohmann/json.hpp>

#include "CliOptions.h"
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

TEST_F(PortListTest, TheSameFactsAsJsonLines) {
  FakeFacts facts;
  facts.adapters[dev + "/ttyUSB1"] = {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "ftdi_sio", ""};
  const std::vector<SerialPortEntry> ports = ListSerialPorts(dev, dev + "/sys", &facts);
  std::ostringstream out;
  PrintPortListJson(out, {{"COM1", dev + "/ttyS0"}, {"COM2", dev + "/serial/by-id/usb-Korvane_Handset_0001-if00"}},
                    ports, true);
  std::vector<nlohmann::json> lines;
  std::istringstream in(out.str());
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 2 + ports.size() + 1) << out.str();
  EXPECT_EQ(lines[0], (nlohmann::json{{"com", "COM1"}, {"path", dev + "/ttyS0"}, {"target", nullptr}}));
  EXPECT_EQ(lines[1]["target"], dev + "/ttyACM0");
  const nlohmann::json& ftdi = lines[2];
  EXPECT_EQ(ftdi["device"], dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_EQ(ftdi["target"], dev + "/ttyUSB1");
  EXPECT_EQ(ftdi["usb"], (nlohmann::json{{"vendor_id", "0403"}, {"product_id", "6001"}, {"maker", "FTDI"},
                                         {"product", "FT232R USB UART"}, {"serial", "A50285BI"}, {"driver", "ftdi_sio"}}));
  // Each entry of the listing, in its order; one without an adapter has null.
  for (size_t i = 0; i < ports.size(); ++i) EXPECT_EQ(lines[2 + i]["device"], ports[i].path);
  EXPECT_TRUE(lines[3]["usb"].is_null()) << lines[3];
  EXPECT_EQ(lines.back(), (nlohmann::json{{"modem_manager", true}}));
}

TEST_F(PortListTest, ModemManagerIsFoundByItsProcess) {
  const std::string proc = dev + "/proc";
  for (const auto& [pid, comm] : std::vector<std::pair<std::string, std::string>>{
           {"1", "systemd"}, {"412", "ModemManagerX"}, {"self", "ModemManager"}, {"500", "bash"}}) {
    fs::create_directories(proc + "/" + pid);
    std::ofstream(proc + "/" + pid + "/comm") << comm << "\n";
  }
  EXPECT_FALSE(ModemManagerRunning(proc)) << "a near name, or a link that is no process, is not it";
  fs::create_directories(proc + "/873");
  std::ofstream(proc + "/873/comm") << "ModemManager\n";
  EXPECT_TRUE(ModemManagerRunning(proc));
  EXPECT_FALSE(ModemManagerRunning(dev + "/no-proc"));
}

// Where a port chosen by number leads, and whether a handset can be there at all.
TEST_F(PortListTest, WhereAPortLeads) {
  fs::create_symlink(dev + "/ttyUSB1", dev + "/handset");
  const struct {
    std::string device;
    std::string text;
    bool doubtful;
  } cases[] = {
      {dev + "/ttyS0", "port COM1 (the stored PORT) is " + dev + "/ttyS0", false},
      {dev + "/ttyS1", "port COM1 (the stored PORT) is " + dev + "/ttyS1, which has no hardware behind it: give --device", true},
      {dev + "/handset", "port COM1 (the stored PORT) is " + dev + "/handset -> " + dev + "/ttyUSB1", false},
      {dev + "/ttyUSB7", "port COM1 (the stored PORT) is " + dev + "/ttyUSB7, which does not exist: give --device", true},
      {"", "port COM1 (the stored PORT) names no device: give --device", true},
  };
  for (const auto& c : cases) {
    const PortLead lead = PortLeadsTo("COM1", "the stored PORT", c.device, dev + "/sys");
    EXPECT_EQ(lead.text.rfind(c.text, 0), 0u) << lead.text;
    EXPECT_EQ(lead.doubtful, c.doubtful) << lead.text;
  }
}

// The rule file a user edits: every line udev reads is a comment, a blank line or one of the
// rule's own, and each adapter line, once its "#" is taken off, sets ID_MM_DEVICE_IGNORE for
// one vendor and product id.
TEST(ModemManagerRule, EveryAdapterLineIgnoresOneUsbId) {
  std::ifstream in(TARVISEL_UDEV_RULES);
  ASSERT_TRUE(in) << TARVISEL_UDEV_RULES;
  int adapters = 0;
  bool labelled = false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line.rfind("# ", 0) == 0 || line == "#") continue;
    if (line.rfind("#ATTRS", 0) == 0) line.erase(0, 1);
    if (line.rfind("ATTRS", 0) == 0) {
      const std::string head = "ATTRS{idVendor}==\"";
      ASSERT_EQ(line.rfind(head, 0), 0u) << line;
      const size_t product = line.find("idProduct}==\"");
      ASSERT_NE(product, std::string::npos) << line;
      const auto id = ParseUsbId(line.substr(head.size(), 4) + ":" + line.substr(product + 13, 4));
      EXPECT_TRUE(id) << line;
      if (id) {
        EXPECT_EQ(line, head + id->vendor + "\", ATTRS{idProduct}==\"" + id->product + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"");
      }
      EXPECT_FALSE(labelled) << "an adapter line after the end label does nothing: " << line;
      ++adapters;
      continue;
    }
    if (line == "LABEL=\"tarvisel_mm_end\"") {
      labelled = true;
      continue;
    }
    EXPECT_NE(line.find("GOTO=\"tarvisel_mm_end\""), std::string::npos) << "an unknown line: " << line;
  }
  EXPECT_TRUE(labelled);
  EXPECT_GE(adapters, 1);
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

  // A ModemManager process is named at the end, as text and as the last JSON line.
  fs::create_directories(dir + "/proc/873");
  std::ofstream(dir + "/proc/873/comm") << "ModemManager\n";
  const ProcessResult text = RunProgram({TARVISEL_CLI_PATH, "ports", "--proc-root", dir + "/proc"}, dir, "mm");
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find(std::string(kModemManagerNote) + "\n"), std::string::npos) << text.out;
  const ProcessResult json =
      RunProgram({TARVISEL_CLI_PATH, "ports", "--json", "--proc-root", dir + "/proc"}, dir, "mm-json");
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("{\"com\":\"COM1\",", 0), 0u) << json.out;
  EXPECT_NE(json.out.find("\n{\"modem_manager\":true}\n"), std::string::npos) << json.out;
  const ProcessResult none = RunProgram({TARVISEL_CLI_PATH, "ports", "--json", "--proc-root", dir}, dir, "no-mm");
  EXPECT_NE(none.out.find("\n{\"modem_manager\":false}\n"), std::string::npos) << none.out;
  fs::remove_all(dir);
}

}  // namespace
