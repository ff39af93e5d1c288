// tarvisel-screenshots OUTDIR: renders the main window (idle, during programming, after the
// handset stopped answering), the station window, the font dialog and the About box to PNG
// files, against in-process simulated handsets, so that the look can be reviewed by eye.
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QDir>
#include <QMessageBox>
#include <QTextEdit>
#include <QTreeWidget>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "AboutDialog.h"
#include "ControlIds.h"
#include "DlgFont.h"
#include "FontDialog.h"
#include "PtyHandset.h"
#include "SampleImage.h"
#include "Scenario.h"
#include "StationWindow.h"
#include "TarviselSession.h"
#include "TextProgressWidget.h"

namespace {

class CHandsetThread {
 public:
  explicit CHandsetThread(const std::string& scenarioText) {
    sim::CScenario scenario;
    std::string error;
    if (!scenario.Parse(scenarioText, error)) throw std::runtime_error(error);
    m_handset = std::make_unique<sim::CPtyHandset>(std::make_unique<sim::CHandsetModel>(scenario, 1 << 20),
                                                   sim::PtyOptions{});
    if (!m_handset->Open()) throw std::runtime_error(m_handset->Error());
    m_thread = std::thread([this] { m_handset->Run(); });
    setenv("TARVISEL_COM1", m_handset->SlavePath().c_str(), 1);
  }
  ~CHandsetThread() {
    m_handset->Stop();
    m_thread.join();
  }

 private:
  std::unique_ptr<sim::CPtyHandset> m_handset;
  std::thread m_thread;
};

bool Save(QWidget& widget, const QString& dir, const QString& name) {
  const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
  const bool ok = widget.grab().save(path);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", path.toLocal8Bit().constData());
  return ok;
}

void Settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

std::string MakeImage(const QString& dir) {
  const std::string path = (dir + QStringLiteral("/sample.bin")).toStdString();
  sim::WriteImage(path, sim::SampleImage(0x40000, 0x4000, 203, 99));
  return path;
}

// Takes the image as Open would, without its file dialog.
void TakeImage(CTarviselSession& session, const std::string& path) {
  session.Services().RunHandler([&] {
    session.Dlg().OpenImage(path);
  });
}

// Closes every message box the engine shows, after an optional shot of it.
class CBoxCloser {
 public:
  explicit CBoxCloser(std::function<void(QMessageBox&)> onBox = {}) : m_onBox(std::move(onBox)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        if (m_onBox) m_onBox(*box);
        box->done(QMessageBox::Ok);
      }
    });
    m_timer.start(20);
  }

 private:
  QTimer m_timer;
  std::function<void(QMessageBox&)> m_onBox;
};

int ShootMainWindow(const QString& dir, const std::string& image) {
  int failures = 0;
  {
    CHandsetThread handset("rev=203; erase-ms=300; pace=on");
    CTarviselSession session;
    session.Start();
    Settle(300);
    failures += !Save(session.Window(), dir, QStringLiteral("main-idle"));

    TakeImage(session, image);
    bool shot = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      const CTextProgressCtrl& bar = session.Window().TextProgress()->Ctrl();
      if (!shot && session.Window().TextProgress()->isVisible() && bar.GetPos() >= 20) {
        shot = true;
        failures += !Save(session.Window(), dir, QStringLiteral("main-programming"));
      }
    });
    watcher.start(50);
    CBoxCloser closer([&](QMessageBox& box) { failures += !Save(box, dir, QStringLiteral("message-completed")); });
    session.Services().SendCommand(IDC_RUN, BN_CLICKED);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (session.Window().GetText(IDC_STATUS).rfind("Elapsed", 0) == 0) loop.quit();
    });
    poll.start(50);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    Settle(200);
    failures += !shot;
  }
  {
    CHandsetThread handset("rev=203; silent=version:*");
    CTarviselSession session;
    session.Start();
    TakeImage(session, image);
    CBoxCloser closer;
    session.Services().SendCommand(IDC_RUN, BN_CLICKED);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (session.Window().LogView()->toPlainText().contains(QStringLiteral("응답이 없습니다."))) loop.quit();
    });
    poll.start(50);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    Settle(300);
    failures += !Save(session.Window(), dir, QStringLiteral("main-no-reply"));
  }
  return failures;
}

// The station window with four handsets behind links in a folder of ports named as by-id ones,
// each a little slower than the last, shot when all four program.
int ShootStation(const QString& dir) {
  const std::string base = dir.toStdString();
  const std::string ports = base + "/station-ports";
  std::filesystem::remove_all(ports);
  std::filesystem::create_directories(ports);
  const std::string image = base + "/station.bin";
  sim::WriteImage(image, sim::SampleImage(0x40000, 0x4000, 203, 98));
  std::vector<std::unique_ptr<sim::CPtyHandset>> handsets;
  std::vector<std::thread> threads;
  const std::vector<const char*> serials = {"A50285BI", "A50286C3", "A5028F1D", "A50291E7"};
  for (size_t i = 0; i < serials.size(); ++i) {
    sim::CScenario scenario;
    std::string error;
    if (!scenario.Parse("start=download; erase-ms=200; pace=on; write-ms=" + std::to_string(15 * i),
                        error))
      throw std::runtime_error(error);
    handsets.push_back(std::make_unique<sim::CPtyHandset>(std::make_unique<sim::CHandsetModel>(scenario, 1 << 20),
                                                          sim::PtyOptions{}));
    if (!handsets.back()->Open()) throw std::runtime_error(handsets.back()->Error());
    std::filesystem::create_symlink(handsets.back()->SlavePath(),
                                    ports + "/usb-FTDI_FT232R_USB_UART_" + serials[i] + "-if00-port0");
  }
  for (auto& h : handsets) threads.emplace_back([&h] { h->Run(); });
  int failures = 0;
  {
    StationRunnerSetup setup{TARVISEL_CLI_PATH, ports, "", true};
    CStationWindow station(setup);
    station.resize(1100, 300);
    station.show();
    station.TypeBox()->setCurrentIndex(station.TypeBox()->findText(QStringLiteral("EMERGENCY")));
    station.TakeImage(QString::fromStdString(image));
    Settle(200);
    station.RunButton()->click();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      int programming = 0, most = 0;
      for (const auto& row : station.Runner().Model().Rows()) {
        programming += row.running && row.status.phase == "programming" && row.Percent() > 0;
        most = std::max(most, row.Percent());
      }
      if (programming == 4 && most >= 30) loop.quit();
    });
    poll.start(50);
    QTimer::singleShot(90000, &loop, &QEventLoop::quit);
    loop.exec();
    station.Pump();
    failures += !Save(station, dir, QStringLiteral("station-downloading"));
    station.Runner().EndAll();
    Settle(500);
  }
  for (auto& h : handsets) h->Stop();
  for (auto& t : threads) t.join();
  std::filesystem::remove_all(ports);
  return failures;
}

// The station window with a row in every state, fed with the events a line's handsets give: a
// completed one, one refused at 62 %, a port that would not open, one programming, and two
// waiting for the version question, which waits above the rows.
int ShootStationResults(const QString& dir) {
  const std::string image = dir.toStdString() + "/station.bin";
  sim::WriteImage(image, sim::SampleImage(0x40000, 0x4000, 203, 98));
  CStationWindow station(StationRunnerSetup{TARVISEL_CLI_PATH, "", "", true});
  station.resize(1100, 330);
  station.TakeImage(QString::fromStdString(image));
  const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_";
  const std::vector<std::string> devs = {byId + "A50285BI-if00-port0", byId + "A50286C3-if00-port0",
                                         byId + "A5028F1D-if00-port0", byId + "A50291E7-if00-port0",
                                         "/dev/ttyS0", "/dev/pts/7"};
  CStationModel& model = station.Runner().Model();
  for (const auto& d : devs) model.AddPath(d, "USB 0403:6001, FTDI, FT232R USB UART -> /dev/ttyUSB");
  model.Run();
  const auto ids = model.TakeStarts(station.Runner().Now());
  const auto feed = [&](size_t i, const char* event, nlohmann::ordered_json body) {
    nlohmann::ordered_json e = {{"v", 1}, {"t", 1.0}, {"device", devs[i]}, {"event", event}};
    e.update(body);
    model.Line(ids[i], e.dump(), "");
  };
  const auto program = [&](size_t i, int block) {
    feed(i, "phase", {{"name", "erase"}});
    feed(i, "phase", {{"name", "programming"}});
    feed(i, "progress", {{"block", block}, {"blocks", 100}, {"address", 0}, {"bytes", 0}, {"bytes_per_s", 11000},
                         {"eta_s", 9}});
  };
  const auto finish = [&](size_t i, const char* outcome, double elapsed) {
    feed(i, "finished", {{"outcome", outcome}, {"exit", 1}, {"elapsed_s", elapsed}});
    model.Ended(ids[i]);
  };
  program(0, 100);
  feed(0, "phase", {{"name", "jump"}});
  finish(0, "completed", 41.5);
  program(1, 62);
  finish(1, "handset-refused", 27.2);
  finish(2, "port", 0.1);
  program(3, 37);
  for (size_t i : {size_t{4}, size_t{5}}) {
    feed(i, "phone", {{"sw", "EXT1.02"}, {"compiled", ""}, {"pcb", ""}, {"revision", 198}});
    feed(i, "log", {{"kind", "message"}, {"text", "S/W version is different. Downloading continue? -> No (--no)"}});
    finish(i, "declined", 1.2);
  }
  station.show();
  Settle(200);
  station.Pump();
  Settle(100);
  return Save(station, dir, QStringLiteral("station-results")) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarvisel-screenshots OUTDIR\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(dir);
  setenv("TARVISEL_SETTINGS", (dir + QStringLiteral("/settings")).toLocal8Bit().constData(), 1);
  int failures = 0;
  try {
    failures += ShootMainWindow(dir, MakeImage(dir));
    failures += ShootStation(dir);
    failures += ShootStationResults(dir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "simulated handset: %s\n", e.what());
    return 1;
  }
  {
    CDlgFont logic;
    CFontDialog font(logic);
    font.show();
    Settle(100);
    failures += !Save(font, dir, QStringLiteral("font-dialog"));
  }
  {
    CAboutDlg about;
    about.show();
    Settle(100);
    failures += !Save(about, dir, QStringLiteral("about"));
  }
  return failures == 0 ? 0 : 1;
}
