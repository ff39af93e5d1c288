#include "TarviselApp.h"

#include <QApplication>
#include <QTranslator>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "SignalCloser.h"
#include "StationWindow.h"
#include "TarviselSession.h"
#include "WindowLanguage.h"
#include "platform/Translate.h"

namespace {

bool AskedForStation(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--station") == 0) return true;
  return false;
}

// The station's setup with --record URL and --station-name NAME of the command line.
StationRunnerSetup StationSetupOf(int argc, char** argv) {
  StationRunnerSetup setup = DefaultStationSetup();
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--record") == 0) setup.recordUrl = argv[++i];
    else if (std::strcmp(argv[i], "--station-name") == 0) setup.stationName = argv[++i];
  }
  return setup;
}

// tarvisel --station: the station window alone.
int RunStationAlone(int argc, char** argv) {
  CStationWindow station(StationSetupOf(argc, argv));
  CSignalCloser closer([&] { station.close(); });
  station.show();
  return QApplication::exec();
}

}  // namespace

int CTarviselApp::Run(int argc, char** argv) {
  StartTranslations();
  QApplication app(argc, argv);
  // Qt takes the whole locale from the environment; numbers stay C as in the rest of the program.
  std::setlocale(LC_NUMERIC, "C");
  QTranslator translator;
  LoadWindowTranslation(translator);
  if (AskedForStation(argc, argv)) return RunStationAlone(argc, argv);
  // Message boxes carry the program's name, as the executable is called.
  CTarviselSession session;
  session.SetOnClosed([] { QApplication::quit(); });
  std::unique_ptr<CStationWindow> station;
  session.Window().SetStationOpener([&] {
    if (!station) station = std::make_unique<CStationWindow>(StationSetupOf(argc, argv));
    station->show();
    station->raise();
  });
  // A second signal while the first close waits (a modal box, say) ends the program at once.
  int received = 0;
  CSignalCloser closer([&] {
    if (++received > 1) std::_Exit(130);
    session.Window().close();
  });
  session.Start();
  if (session.IsClosed()) return 0;
  QApplication::exec();
  return 0;
}
