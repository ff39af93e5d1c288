#include "TarviselApp.h"

#include <QApplication>
#include <cstdlib>

#include "SignalCloser.h"
#include "TarviselSession.h"

int CTarviselApp::Run(int argc, char** argv) {
  QApplication app(argc, argv);
  // Message boxes carry the program's name, as the executable is called.
  CTarviselSession session;
  session.SetOnClosed([] { QApplication::quit(); });
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
