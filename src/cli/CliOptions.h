#pragma once
// The command line of tarvisel-cli: the command, the image and the options, checked.
#include <optional>
#include <string>
#include <vector>

#include "DownloadType.h"

enum class CliCommand { None, Download, Info, ToDm, Ports, Watch, History, RecordInit, RecordSync, RecordStatus, Serve };
// How the questions the window would ask get their answer.
enum class CliAnswer { Ask, Yes, No };

// A USB adapter's ids as udev gives them: four lower-case hex digits each.
struct UsbId {
  std::string vendor;
  std::string product;
  bool operator==(const UsbId&) const = default;
};

inline constexpr const char* kDefaultPortsDir = "/dev/serial/by-id";

struct CliOptions {
  CliCommand command = CliCommand::None;
  std::string image;
  int type = 0;                      // the type list index; NORMAL by default
  std::vector<int> ports;            // --port, each 1 or 2, in the order given
  std::vector<std::string> devices;  // --device paths, in the order given; they win over --port
  std::optional<int> speedIdx;       // 0 = 57600, 1 = 115200
  std::optional<std::string> fontAddress;
  std::optional<std::string> fontBlocks;
  CliAnswer answer = CliAnswer::Ask;
  std::string logFile;
  std::string logDir;                // a log file of each handset's own in DIR
  std::string traceFile;
  bool quiet = false;
  bool json = false;                 // JSON Lines on standard output
  std::optional<double> timeoutSecs;

  // The record of every download (download, watch) and its reader (history).
  std::string historyFile;  // --history FILE; empty: the default place
  bool noHistory = false;
  // The shared record of the line (download, watch, history, record): a libpq connection string
  // or postgresql:// URI; empty: TARVISEL_RECORD, else none.
  std::string recordUrl;
  std::string stationName;  // empty: the host name
  std::string unit;         // download: the handset's identity
  std::string unitsFrom;    // watch: a FIFO or terminal giving one unit a line

  // watch
  std::string portsDir = kDefaultPortsDir;
  std::vector<UsbId> matches;  // --match: empty takes every link
  int retries = 0;
  bool newOnly = false;

  // history: its filters and forms (--json is the field above)
  std::string since;  // ISO 8601 UTC
  std::string outcomeFilter;
  std::string deviceFilter;
  std::string unitFilter;
  std::string stationFilter;
  bool csv = false;

  // serve: the record it reads (--record's database, else --history's file) and where it listens
  std::string listen = "127.0.0.1:8330";

  // ports: where processes are looked for (ModemManager); tests point it elsewhere
  std::string procRoot = "/proc";
};

enum class CliParse { Ok, Help, Error };

// args without the program name. Help: message holds the help text; Error: what is wrong
// with the command line, and the usage.
CliParse ParseCliArgs(const std::vector<std::string>& args, CliOptions& options, std::string& message);

// The download types by the command line's names or the window's ("CHANGE(NORMAL)"), any case.
std::optional<int> ParseDownloadType(const std::string& text);
// "1", "2", "COM1", "COM2" (any case).
std::optional<int> ParsePortNumber(const std::string& text);
// Of the words known, the one nearest to word (fewest letters to change, add or take away);
// the first of equals.
std::string NearestWord(const std::string& word, const std::vector<std::string>& known);
// "57600" -> 0, "115200" -> 1.
std::optional<int> ParseSpeedIndex(const std::string& text);
// "0403:6001" (any case) -> {"0403", "6001"}.
std::optional<UsbId> ParseUsbId(const std::string& text);
// The outcomes a download's row may have (those of --json's "finished" but usage).
bool IsRecordedOutcome(const std::string& name);
// Where the record goes: --history FILE, else the default place; empty with --no-history.
std::string HistoryPathOf(const CliOptions& options);
// The shared record: --record URL, else TARVISEL_RECORD; empty: none.
std::string RecordUrlOf(const CliOptions& options);
// How many handsets the options name: the --device paths, else the --port numbers, else the
// stored PORT.
size_t HandsetCount(const CliOptions& options);
