#include "TarviselApp.h"

#include <QApplication>

#include "TarviselSession.h"

int CTarviselApp::Run(int argc, char** argv) {
  QApplication app(argc, argv);
  // Message boxes carry the program's name, as the executable is called.
  CTarviselSession session;
  session.SetOnClosed([] { QApplication::quit(); });
  session.Start();
  if (session.IsClosed()) return 0;
  QApplication::exec();
  return 0;
}
