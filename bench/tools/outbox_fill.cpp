// Fills a station's record (the shared record's outbox) with rows for the record's benchmark:
//   tarvisel_outbox_fill FILE ROWS STATION
// Each row is a completed download of its own UUID and unit, pending.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "DownloadRecorder.h"
#include "HistoryDb.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tarvisel_outbox_fill FILE ROWS STATION\n");
    return 2;
  }
  const long rows = std::strtol(argv[2], nullptr, 10);
  std::string error;
  auto db = CHistoryDb::Open(argv[1], CHistoryDb::Access::Append, error);
  if (!db) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 1;
  }
  for (long i = 0; i < rows; ++i) {
    DownloadRecord r;
    r.uuid = NewUuid();
    r.station = argv[3];
    r.unit = std::string(argv[3]) + "-unit-" + std::to_string(i);
    r.start = "2026-12-09T08:00:00.000Z";
    r.end = "2026-12-09T08:01:40.500Z";
    r.host = argv[3];
    r.device = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K" + std::to_string(i % 16) + "-if00-port0";
    r.tty = "/dev/ttyUSB" + std::to_string(i % 16);
    r.image = "/srv/firmware/KVH100A-203.bin";
    r.size = 1048576;
    r.sha256 = std::string(64, 'a');
    r.type = "normal";
    r.speed = 115200;
    r.phoneSw = "Ver02.03    KVH100A";
    r.imageVersion = "203";
    r.outcome = "completed";
    r.exit = 0;
    r.elapsedS = 100.5;
    r.resends = 0;
    r.toolVersion = ToolVersion();
    if (!db->Append(r, error)) {
      std::fprintf(stderr, "row %ld: %s\n", i, error.c_str());
      return 1;
    }
  }
  return 0;
}
