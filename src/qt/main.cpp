// tarvisel: the desktop window.
#include <cstring>
#include <iostream>

#include "TarviselApp.h"
#include "TarviselVersion.h"

namespace {
CTarviselApp theApp;

// Answered before Qt starts, so they need no display (the manual page is made from them).
constexpr const char* kUsage = R"(Usage: tarvisel [options]
The firmware download window: open an image (*.bin), choose a port, a speed and a download
type, and run the download to the handset on that port. The port, the speed and the folder of
the last image are kept in $XDG_CONFIG_HOME/tarvisel/settings.
  --station     open the station window (a row per serial port, many handsets at once)
                instead of the main window
  --record URL  the station's rows also go to the line's shared record (PostgreSQL: a
                connection string or postgresql:// URI; default $TARVISEL_RECORD)
  --station-name NAME
                the station's name in the record (default the host name)
  --help        print this text and exit
  --version     print the version and exit
Qt's own options (for example -platform offscreen) are taken as well.
Environment: TARVISEL_COM1 and TARVISEL_COM2 name the device of COM1 and COM2 (default
/dev/ttyS0 and /dev/ttyS1); TARVISEL_SETTINGS the settings file; TARVISEL_TRACE=stderr or
a file the link's diagnostic lines. The station: TARVISEL_CLI the tarvisel-cli it starts for
each handset, TARVISEL_PORTS_DIR the folder of port links it follows (/dev/serial/by-id).
)";
}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::cout << "tarvisel " << kTarviselVersion << "\n";
      return 0;
    }
  }
  return theApp.Run(argc, argv);
}
