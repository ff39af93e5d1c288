#include "CliOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdint>
#include <iterator>
#include <sstream>

#include "DlgFont.h"
#include "HistoryPath.h"
#include "IsoTime.h"
#include "TarviselVersion.h"
#include "platform/Translate.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

size_t EditDistance(const std::string& a, const std::string& b);

}  // namespace

std::string NearestWord(const std::string& word, const std::vector<std::string>& known) {
  std::string best;
  size_t bestDistance = SIZE_MAX;
  for (const std::string& k : known) {
    const size_t d = EditDistance(Lower(word), k);
    if (d < bestDistance) bestDistance = d, best = k;
  }
  return best;
}

namespace {

constexpr double kMaxTimeoutSecs = 1e6;
constexpr int kMaxRetries = 100;

struct Raw {
  std::string type, speed, timeout, retry, since;
  std::vector<std::string> ports, matches;
  bool yes = false, no = false;
};

// The choices of a download (or info, todm) every handset gets alike.
void AddChoices(CLI::App& sub, CliOptions& o, Raw& raw) {
  sub.add_option("--type", raw.type, "normal | emergency | font | change-emergency | change-normal");
  sub.add_option("--speed", raw.speed, "57600 or 115200; default the stored BAUD");
  auto* yes = sub.add_flag("--yes", raw.yes, "answer Yes to the questions");
  auto* no = sub.add_flag("--no", raw.no, "answer No to the questions");
  yes->excludes(no);
  sub.add_option("--log-dir", o.logDir, "each handset's log, with time stamps, in a file of its own in DIR");
  sub.add_flag("--json", o.json, "JSON Lines of each handset's events on standard output");
}

// Which handsets, and what one handset alone may have.
void AddHandsetOptions(CLI::App& sub, CliOptions& o, Raw& raw) {
  // Each may be given again for another handset; one value an occurrence.
  sub.add_option("--port", raw.ports, "1 or 2, or COM1 or COM2 (any case); default the stored PORT; repeat for more handsets")
      ->allow_extra_args(false);
  sub.add_option("--device", o.devices, "a device path instead of a port number; repeat for more handsets")
      ->allow_extra_args(false);
  sub.add_option("--log", o.logFile, "also write the log, with time stamps, to FILE");
  sub.add_option("--trace-wire", o.traceFile, "write every byte sent and received as hex lines to FILE");
  sub.add_flag("--quiet", o.quiet, "only errors and the result");
  sub.add_option("--timeout", raw.timeout, "give up after SECS seconds in all (exit 1)");
}

void AddHistoryFile(CLI::App& sub, CliOptions& o, bool canTurnOff) {
  auto* file = sub.add_option("--history", o.historyFile,
                              "the record of every download: FILE instead of $XDG_DATA_HOME/tarvisel/history.sqlite");
  if (!canTurnOff) return;
  sub.add_flag("--no-history", o.noHistory, "keep no record of the downloads")->excludes(file);
}

void AddRecordUrl(CLI::App& sub, CliOptions& o) {
  sub.add_option("--record", o.recordUrl,
                 "the line's shared record (PostgreSQL): a connection string or postgresql:// URI; default "
                 "$TARVISEL_RECORD");
}

void AddIdentity(CLI::App& sub, CliOptions& o) {
  sub.add_option("--station-name", o.stationName, "this station's name in the record (default the host name)");
  AddRecordUrl(sub, o);
}

void AddFontOptions(CLI::App& sub, CliOptions& o) {
  sub.add_option("--font-address", o.fontAddress, "FONT: the start address, hex digits");
  sub.add_option("--font-blocks", o.fontBlocks, "FONT: the number of 64 KB blocks, 1..100");
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The first word the command line does not know (a command, or an option of the command
// given), named with the nearest it does know; empty when every word is known.
std::string UnknownWord(CLI::App& app, const std::vector<std::string>& args) {
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) commands.push_back(sub->get_name());
  CLI::App* command = nullptr;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--") break;
    if (!command) {
      if (word.rfind("-", 0) == 0) continue;
      const auto known = std::find(commands.begin(), commands.end(), word);
      if (known == commands.end())
        return "unknown command \"" + word + "\"; did you mean \"" + NearestWord(word, commands) + "\"?";
      command = app.get_subcommand(word);
      continue;
    }
    if (word.rfind("--", 0) != 0) {
      // A command of a command (record sync).
      const auto subs = command->get_subcommands([&](const CLI::App* sub) { return sub->get_name() == word; });
      if (!subs.empty()) command = subs.front();
      continue;
    }
    const std::string name = word.substr(0, word.find('='));
    std::vector<std::string> names;
    for (const CLI::Option* option : command->get_options())
      for (const std::string& long_name : option->get_lnames()) names.push_back("--" + long_name);
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
    return "unknown option " + name + " for " + command->get_name() + "; did you mean " + NearestWord(name, names) + "?";
  }
  return {};
}

bool Finish(const Raw& raw, CliOptions& o, std::string& message) {
  if (!raw.type.empty()) {
    const auto type = ParseDownloadType(raw.type);
    if (!type) return message = "--type: unknown download type \"" + raw.type + "\"", false;
    o.type = *type;
  }
  for (const auto& text : raw.ports) {
    const auto port = ParsePortNumber(text);
    if (!port) return message = "--port: 1 or 2, or COM1 or COM2, not \"" + text + "\"", false;
    if (std::find(o.ports.begin(), o.ports.end(), *port) != o.ports.end())
      return message = "--port " + text + " is given twice", false;
    o.ports.push_back(*port);
  }
  for (size_t i = 0; i < o.devices.size(); ++i) {
    if (o.devices[i].empty()) return message = "--device: an empty path", false;
    if (std::find(o.devices.begin(), o.devices.begin() + static_cast<long>(i), o.devices[i]) !=
        o.devices.begin() + static_cast<long>(i))
      return message = "--device " + o.devices[i] + " is given twice", false;
  }
  if (!raw.speed.empty()) {
    o.speedIdx = ParseSpeedIndex(raw.speed);
    if (!o.speedIdx) return message = "--speed: 57600 or 115200, not \"" + raw.speed + "\"", false;
  }
  if (!raw.timeout.empty()) {
    char* end = nullptr;
    const double secs = std::strtod(raw.timeout.c_str(), &end);
    if (end == raw.timeout.c_str() || *end != '\0' || !(secs > 0))
      return message = "--timeout: a number of seconds above 0, not \"" + raw.timeout + "\"", false;
    if (secs > kMaxTimeoutSecs)
      return message = "--timeout: at most 1000000 seconds (11.5 days), not \"" + raw.timeout + "\"", false;
    o.timeoutSecs = secs;
  }
  if (raw.yes) o.answer = CliAnswer::Yes;
  if (raw.no) o.answer = CliAnswer::No;
  if (o.command == CliCommand::Watch && o.answer == CliAnswer::Ask)
    return message = "watch: --yes or --no answers the questions of every handset (the version differs, an odd "
                     "start address)", false;
  for (const auto& text : raw.matches) {
    const auto id = ParseUsbId(text);
    if (!id) return message = "--match: VENDOR:PRODUCT, four hexadecimal digits each (for example 0403:6001), not \"" +
                              text + "\"", false;
    o.matches.push_back(*id);
  }
  if (!raw.retry.empty()) {
    const bool digits = raw.retry.size() <= 3 &&
                        std::all_of(raw.retry.begin(), raw.retry.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits || std::stoi(raw.retry) > kMaxRetries)
      return message = "--retry: a number of tries again from 0 to 100, not \"" + raw.retry + "\"", false;
    o.retries = std::stoi(raw.retry);
  }
  if (o.portsDir.empty()) return message = "--ports-dir: an empty path", false;
  if (!raw.since.empty()) {
    const auto at = ParseUserTime(raw.since);
    if (!at) return message = "--since: a date (2026-12-08) or a time (2026-12-08 09:15, local; a Z at the end for "
                              "UTC), not \"" + raw.since + "\"", false;
    o.since = IsoUtc(*at);
  }
  if (!o.outcomeFilter.empty() && !IsRecordedOutcome(o.outcomeFilter))
    return message = "--outcome: one of completed, no-reply, handset-refused, out-of-step, timeout, refused, read-error, declined, "
                     "port, line-broke, stopped, interrupted, crashed; not \"" + o.outcomeFilter + "\"", false;
  if (!o.logFile.empty() && !o.logDir.empty()) return message = "--log and --log-dir: one or the other", false;
  if (!o.recordUrl.empty() && o.noHistory)
    return message = "--record sends the rows of the station's own record: it goes without --no-history", false;
  if (o.command == CliCommand::Download && !o.unit.empty() && HandsetCount(o) > 1)
    return message = "--unit names one handset: with several, run a download for each", false;
  if (HandsetCount(o) > 1) {
    // One terminal cannot take an answer for each of several handsets.
    if (o.command == CliCommand::Download && o.answer == CliAnswer::Ask)
      return message = "several handsets: --yes or --no answers their questions (the version differs, an odd "
                       "start address)", false;
    if (!o.logFile.empty()) return message = "--log names one file: with several handsets use --log-dir", false;
    if (!o.traceFile.empty()) return message = "--trace-wire goes with one handset only", false;
  }
  if ((o.fontAddress || o.fontBlocks) && o.type != 2)
    return message = "--font-address and --font-blocks go with --type font only", false;
  // Without an address the font would go to address 0, over the start of the flash.
  if (o.type == 2 && !o.fontAddress && (o.command == CliCommand::Download || o.command == CliCommand::Watch))
    return message = Tr("--type font needs --font-address: the font's start address in hexadecimal digits (for "
                        "example 200000)"), false;
  // Checked here, before anything opens the port: a font written at a wrong address is worse
  // than no download.
  if (o.fontAddress && (o.fontAddress->empty() || o.fontAddress->size() > 6 ||
                        !CDlgFont::IsHexAddressText(*o.fontAddress)))
    return message = "--font-address: 1 to 6 hexadecimal digits (for example 200000), not \"" +
                     *o.fontAddress + "\"", false;
  if (o.fontBlocks) {
    const std::string& b = *o.fontBlocks;
    const bool digits = !b.empty() && b.size() <= 3 && std::all_of(b.begin(), b.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    const int n = digits ? std::stoi(b) : 0;
    if (n < CDlgFont::kMinBlockCount || n > CDlgFont::kMaxBlockCount)
      return message = "--font-blocks: a number of 64 KB blocks from 1 to 100, not \"" + b + "\"", false;
  }
  return true;
}

}  // namespace

std::optional<int> ParseDownloadType(const std::string& text) {
  std::string t = Lower(text);
  std::replace(t.begin(), t.end(), '(', '-');
  std::replace(t.begin(), t.end(), '_', '-');
  t.erase(std::remove(t.begin(), t.end(), ')'), t.end());
  for (int i = 0; i < 5; ++i)
    if (t == DownloadTypeName(i)) return i;
  return std::nullopt;
}

std::optional<int> ParsePortNumber(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "1" || t == "com1") return 1;
  if (t == "2" || t == "com2") return 2;
  return std::nullopt;
}

size_t HandsetCount(const CliOptions& o) {
  if (!o.devices.empty()) return o.devices.size();
  return o.ports.empty() ? 1 : o.ports.size();
}

std::optional<UsbId> ParseUsbId(const std::string& text) {
  const std::string t = Lower(text);
  const auto hex4 = [](const std::string& part) {
    return part.size() == 4 && std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
  };
  if (t.size() != 9 || t[4] != ':' || !hex4(t.substr(0, 4)) || !hex4(t.substr(5))) return std::nullopt;
  return UsbId{t.substr(0, 4), t.substr(5)};
}

bool IsRecordedOutcome(const std::string& name) {
  static const char* const kNames[] = {"completed", "no-reply", "handset-refused", "out-of-step", "timeout",
                                       "refused",   "read-error", "declined", "port", "line-broke",
                                       "stopped",   "interrupted", "crashed"};
  return std::any_of(std::begin(kNames), std::end(kNames), [&](const char* n) { return name == n; });
}

std::string HistoryPathOf(const CliOptions& o) {
  if (o.noHistory) return {};
  return o.historyFile.empty() ? DefaultHistoryPath() : o.historyFile;
}

std::string RecordUrlOf(const CliOptions& o) {
  if (!o.recordUrl.empty()) return o.recordUrl;
  const char* url = std::getenv("TARVISEL_RECORD");
  return url ? url : "";
}

std::optional<int> ParseSpeedIndex(const std::string& text) {
  if (text == "57600") return 0;
  if (text == "115200") return 1;
  return std::nullopt;
}

CliParse ParseCliArgs(const std::vector<std::string>& args, CliOptions& options, std::string& message) {
  CliOptions o;
  Raw raw;
  CLI::App app{"Firmware downloads to a handset on a serial port, without a window.", "tarvisel-cli"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "print the help of every command and exit");
  app.set_version_flag("--version", std::string("tarvisel-cli ") + kTarviselVersion, "print the version and exit");
  auto* download = app.add_subcommand("download", "run a download of IMAGE (the window's Run)");
  download->add_option("IMAGE", o.image, "the image file (*.bin)")->required();
  AddChoices(*download, o, raw);
  AddHandsetOptions(*download, o, raw);
  AddFontOptions(*download, o);
  AddHistoryFile(*download, o, true);
  download->add_option("--unit", o.unit, "the handset's identity (its serial number or barcode) for the record");
  AddIdentity(*download, o);
  auto* info = app.add_subcommand("info", "read and print the handset's S/W version, compile date, PCB version");
  AddChoices(*info, o, raw);
  AddHandsetOptions(*info, o, raw);
  auto* todm = app.add_subcommand("todm", "switch the handset's serial port into DM mode");
  AddChoices(*todm, o, raw);
  AddHandsetOptions(*todm, o, raw);
  auto* ports = app.add_subcommand("ports", "list the serial devices present");
  ports->add_flag("--json", o.json, "the same facts as JSON Lines");
  // Hidden: where the ModemManager process is looked for, for tests.
  ports->add_option("--proc-root", o.procRoot)->group("");

  auto* watch = app.add_subcommand("watch", "download IMAGE to each handset plugged in, as its port's link appears");
  watch->add_option("IMAGE", o.image, "the image file (*.bin)")->required();
  watch->add_option("--ports-dir", o.portsDir, "the folder of port links to watch (default /dev/serial/by-id)");
  watch->add_option("--match", raw.matches, "VENDOR:PRODUCT: only USB adapters with these ids; repeat for more")
      ->allow_extra_args(false);
  AddChoices(*watch, o, raw);
  watch->add_option("--retry", raw.retry, "try a handset again up to N times after no reply, a broken line or "
                                          "replies out of step, while its link stays (default 0)");
  watch->add_flag("--new-only", o.newOnly, "leave the links present at the start alone");
  AddFontOptions(*watch, o);
  AddHistoryFile(*watch, o, true);
  watch->add_option("--units-from", o.unitsFrom,
                    "read the units' identities one a line from FILE (a barcode scanner's terminal, a FIFO): each "
                    "goes to the next handset that appears");
  AddIdentity(*watch, o);

  auto* history = app.add_subcommand("history", "the record of every download, newest first");
  AddHistoryFile(*history, o, false);
  history->add_option("--since", raw.since, "only downloads that started at or after DATE");
  history->add_option("--outcome", o.outcomeFilter, "only downloads that ended so (completed, no-reply, ...)");
  history->add_option("--device", o.deviceFilter, "only downloads to this device (as given, its tty or by-id name)");
  history->add_option("--unit", o.unitFilter, "only downloads to this unit");
  history->add_option("--station", o.stationFilter, "only downloads of this station");
  AddRecordUrl(*history, o);
  auto* csv = history->add_flag("--csv", o.csv, "comma-separated values with a header line");
  history->add_flag("--json", o.json, "one JSON object a line")->excludes(csv);

  auto* record = app.add_subcommand("record", "the line's shared record (PostgreSQL)");
  record->require_subcommand(1);
  auto* recordInit = record->add_subcommand("init", "create or upgrade the shared record's tables at URL, and print the "
                                                    "SQL of a role for the stations");
  recordInit->add_option("URL", o.recordUrl, "a connection string or postgresql:// URI")->required();
  auto* recordSync = record->add_subcommand("sync", "send the rows the shared record does not have yet, once");
  AddRecordUrl(*recordSync, o);
  AddHistoryFile(*recordSync, o, false);
  auto* recordStatus = record->add_subcommand("status", "rows waiting, the last upload, the last error, the clock");
  AddRecordUrl(*recordStatus, o);
  AddHistoryFile(*recordStatus, o, false);
  auto* serve = app.add_subcommand("serve", "the line at a glance: a web page, its data as JSON and /metrics, read from the record");
  auto* serveRecord = serve->add_option("--record", o.recordUrl, "the line's shared record: a PostgreSQL URL");
  serve->add_option("--history", o.historyFile,
                    "one station's record: FILE instead of $XDG_DATA_HOME/tarvisel/history.sqlite")
      ->excludes(serveRecord);
  serve->add_option("--listen", o.listen, "ADDRESS:PORT to answer on (default 127.0.0.1:8330; port 0: any free one)");

  std::vector<const char*> argv{"tarvisel-cli"};
  for (const auto& a : args) argv.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    message = app.help();
    return CliParse::Help;
  } catch (const CLI::CallForAllHelp&) {
    message = app.help("", CLI::AppFormatMode::All);
    return CliParse::Help;
  } catch (const CLI::CallForVersion& e) {
    message = std::string(e.what()) + "\n";
    return CliParse::Help;
  } catch (const CLI::ParseError& e) {
    std::ostringstream out;
    const std::string unknown = UnknownWord(app, args);
    out << (unknown.empty() ? std::string(e.what()) : unknown) << "\n" << "Run with --help for more information.";
    message = out.str();
    return CliParse::Error;
  } catch (const std::exception& e) {
    message = e.what();
    return CliParse::Error;
  }
  if (download->parsed()) o.command = CliCommand::Download;
  else if (info->parsed()) o.command = CliCommand::Info;
  else if (todm->parsed()) o.command = CliCommand::ToDm;
  else if (ports->parsed()) o.command = CliCommand::Ports;
  else if (watch->parsed()) o.command = CliCommand::Watch;
  else if (history->parsed()) o.command = CliCommand::History;
  else if (recordInit->parsed()) o.command = CliCommand::RecordInit;
  else if (recordSync->parsed()) o.command = CliCommand::RecordSync;
  else if (recordStatus->parsed()) o.command = CliCommand::RecordStatus;
  else if (serve->parsed()) o.command = CliCommand::Serve;
  if (!Finish(raw, o, message)) return CliParse::Error;
  options = std::move(o);
  return CliParse::Ok;
}
