// The main window's Port list on a real X server (ctest runs it under xvfb-run with the
// station's test): the list is opened by a click and an entry chosen from its popup by the
// keyboard, as a technician does; the port chosen is the one the next start opens.
#include <QAbstractItemView>
#include <QComboBox>
#include <QGuiApplication>
#include <filesystem>

#include "Comm/LinkFlags.h"
#include "ControlIds.h"
#include "WindowFixture.h"

namespace {

using PortListXvfb = WindowFixture;

TEST_F(PortListXvfb, AnAdapterChosenFromTheOpenListIsTheOneTheHandsetAnswersOn) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server (xvfb-run)";
  StartHandset();
  const std::string slave = handset->SlavePath();
  const std::string link = dir + "/usb-FTDI_FT232R_USB_UART_A5028F1D-if00-port0";
  std::filesystem::create_symlink(slave, link);
  portLister = [&](CDeviceFacts&) {
    return std::vector<SerialPortEntry>{
        {link, slave, UsbAdapter{"0403", "6001", "FTDI", "FT232R USB UART", "A5028F1D", "ftdi_sio", ""}}};
  };
  setenv("TARVISEL_COM1", (dir + "/nothing").c_str(), 1);
  setenv("TARVISEL_COM2", (dir + "/nothing").c_str(), 1);
  StartWindow();
  auto* combo = qobject_cast<QComboBox*>(session->Window().Control(IDC_PORT));
  ASSERT_NE(combo, nullptr);
  ASSERT_EQ(combo->count(), 3);

  QTest::mouseClick(combo, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return combo->view()->isVisible(); }, 5000)) << "the list did not open";
  QWidget* popup = combo->view();
  QTest::keyClick(popup, Qt::Key_Down);
  QTest::keyClick(popup, Qt::Key_Down);
  QTest::keyClick(popup, Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return session->Window().PortDevice() == link; }, 5000))
      << "chosen: " << combo->currentText().toStdString();
  EXPECT_EQ(combo->currentText().toStdString(), "usb-FTDI_FT232R_USB_UART_A5028F1D-if00-port0");

  // Taken at the next start of the link: the handset answers Info on it.
  session.reset();
  StartWindow();
  EXPECT_EQ(session->Window().PortDevice(), link);
  EXPECT_TRUE(g_bRxRun);
  Click(IDC_INFO);
  EXPECT_TRUE(WaitFor([&] { return !Text(IDC_SW_VERSION).empty(); }, 15000)) << LogText();
}

}  // namespace
