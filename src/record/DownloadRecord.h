#pragma once
// One download as the record keeps it: a row of the history database. Text left empty and
// numbers left out are unknown (NULL in the database, null in JSON).
#include <cstdint>
#include <optional>
#include <string>

struct DownloadRecord {
  std::string uuid;     // made when the download starts: its key in every record
  std::string station;  // the station's name (--station-name, the host name by default)
  std::string unit;     // the handset's identity as scanned or given; empty: none
  std::string start;  // ISO 8601 UTC, to the millisecond: 2026-12-08T09:15:02.125Z
  std::string end;
  std::string host;
  std::string device;  // the device path as given
  std::string tty;     // the device node it leads to
  std::string serial;  // the USB serial number, where udev knows it
  std::string byId;    // its /dev/serial/by-id name, where udev knows it
  std::string image;   // the image's absolute path
  std::optional<int64_t> size;
  std::string sha256;  // of the image, lower-case hex
  std::string type;    // "normal", ..., "change-normal"
  std::optional<int64_t> speed;  // bit/s
  std::string phoneSw;           // the handset's S/W version, as the window shows it
  std::string imageVersion;      // the image's, as the window shows it
  std::string outcome;           // the outcome names of --json's "finished"
  std::optional<int64_t> exit;   // the exit status tarvisel-cli gives that outcome
  std::optional<double> elapsedS;
  std::optional<int64_t> resends;  // block and request resends the engine made
  std::string toolVersion;
  // Read from the shared record only: when its server received the row, and by how much the
  // station's clock differed from the server's when it sent it (seconds, station minus server).
  std::string received;
  std::optional<double> clockSkewS;

  bool operator==(const DownloadRecord&) const = default;
};
