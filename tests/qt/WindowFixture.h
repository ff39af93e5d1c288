#pragma once
// A main window on the Qt services with private settings and COM1/COM2 on an in-process
// simulated handset behind a pty, and a driver for its modal dialogs.
#include <gtest/gtest.h>

#include <QTest>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ModalDriver.h"
#include "PtyHandset.h"
#include "TarviselSession.h"

class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the in-process handset (before the window, which opens COM1 at start-up).
  void StartHandset(const std::string& scenario = "rev=203; erase-ms=100");
  void StopHandset();
  void StartWindow();
  // A picture of the flash with a valid trailer: version and start address in its last bytes.
  std::string MakeImage(uint32_t size, uint32_t start, uint32_t version, const std::string& name);
  // Has the next Open dialog choose path.
  void ChooseFile(const std::string& path);
  void Click(int id);
  std::string Text(int id) const;
  std::string LogText() const;
  bool WaitFor(const std::function<bool()>& done, int ms);

  std::string dir;
  std::vector<uint8_t> image;
  std::unique_ptr<sim::CPtyHandset> handset;
  std::thread handsetThread;
  std::unique_ptr<CModalDriver> modals;
  std::unique_ptr<CTarviselSession> session;
  // The serial ports the window's Port list offers besides COM1 and COM2: none unless a test
  // gives them (the machine's own would change the list from one machine to the next).
  CTarviselSession::PortLister portLister = [](CDeviceFacts&) { return std::vector<SerialPortEntry>{}; };
  std::string fileDialogDirectory;
  QStringList fileDialogFilters;
};
