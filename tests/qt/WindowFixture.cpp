#include "WindowFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTextEdit>
#include <cstdlib>
#include <fstream>

#include "SampleImage.h"
#include "Scenario.h"

void WindowFixture::SetUp() {
  char tmpl[] = "/tmp/tarvisel-qt-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir = tmpl;
  setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);  // the record of the window's downloads
  modals = std::make_unique<CModalDriver>();
}

void WindowFixture::TearDown() {
  session.reset();
  StopHandset();
  handset.reset();
  modals.reset();
  unsetenv("TARVISEL_COM1");
  unsetenv("TARVISEL_COM2");
  unsetenv("TARVISEL_SETTINGS");
  unsetenv("XDG_DATA_HOME");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

void WindowFixture::StartHandset(const std::string& scenarioText) {
  sim::CScenario scenario;
  std::string error;
  ASSERT_TRUE(scenario.Parse(scenarioText, error)) << error;
  handset = std::make_unique<sim::CPtyHandset>(std::make_unique<sim::CHandsetModel>(scenario, 1 << 20),
                                               sim::PtyOptions{});
  ASSERT_TRUE(handset->Open()) << handset->Error();
  handsetThread = std::thread([this] { handset->Run(); });
  setenv("TARVISEL_COM1", handset->SlavePath().c_str(), 1);
  setenv("TARVISEL_COM2", handset->SlavePath().c_str(), 1);
}

void WindowFixture::StopHandset() {
  if (!handsetThread.joinable()) return;
  handset->Stop();
  handsetThread.join();
}

void WindowFixture::StartWindow() {
  session = std::make_unique<CTarviselSession>(portLister);
  session->Start();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&session->Window()));
}

std::string WindowFixture::MakeImage(uint32_t size, uint32_t start, uint32_t version, const std::string& name) {
  image = sim::SampleImage(size, start, version, 4242);
  const std::string path = dir + "/" + name;
  sim::WriteImage(path, image);
  return path;
}

void WindowFixture::ChooseFile(const std::string& path) {
  modals->onFileDialog = [this, path](QFileDialog& dialog) {
    fileDialogDirectory = dialog.directory().absolutePath().toStdString();
    fileDialogFilters = dialog.nameFilters();
    dialog.selectFile(QString::fromStdString(path));
    QMetaObject::invokeMethod(&dialog, "accept");
  };
}

void WindowFixture::Click(int id) {
  auto* button = qobject_cast<QAbstractButton*>(session->Window().Control(id));
  ASSERT_NE(button, nullptr);
  QTest::mouseClick(button, Qt::LeftButton);
}

std::string WindowFixture::Text(int id) const { return session->Window().GetText(id); }

std::string WindowFixture::LogText() const { return session->Window().LogView()->toPlainText().toStdString(); }

bool WindowFixture::WaitFor(const std::function<bool()>& done, int ms) { return QTest::qWaitFor(done, ms); }
