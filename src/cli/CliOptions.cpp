#include "CliOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "DlgFont.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

constexpr double kMaxTimeoutSecs = 1e6;

struct Raw {
  std::string type, speed, timeout;
  std::vector<std::string> ports;
  bool yes = false, no = false;
};

void AddLinkOptions(CLI::App& sub, CliOptions& o, Raw& raw) {
  sub.add_option("--type", raw.type, "normal | emergency | font | change-emergency | change-normal");
  // Each may be given again for another handset; one value an occurrence.
  sub.add_option("--port", raw.ports, "1 or 2 (COM1, COM2); default the stored PORT; repeat for more handsets")
      ->allow_extra_args(false);
  sub.add_option("--device", o.devices, "a device path instead of a port number; repeat for more handsets")
      ->allow_extra_args(false);
  sub.add_option("--speed", raw.speed, "57600 or 115200; default the stored BAUD");
  auto* yes = sub.add_flag("--yes", raw.yes, "answer Yes to the questions");
  auto* no = sub.add_flag("--no", raw.no, "answer No to the questions");
  yes->excludes(no);
  sub.add_option("--log", o.logFile, "also write the log, with time stamps, to FILE");
  sub.add_option("--log-dir", o.logDir, "each handset's log, with time stamps, in a file of its own in DIR");
  sub.add_flag("--json", o.json, "JSON Lines of each handset's events on standard output");
  sub.add_option("--trace-wire", o.traceFile, "write every byte sent and received as hex lines to FILE");
  sub.add_flag("--quiet", o.quiet, "only errors and the result");
  sub.add_option("--timeout", raw.timeout, "give up after SECS seconds in all (exit 1)");
}

bool Finish(const Raw& raw, CliOptions& o, std::string& message) {
  if (!raw.type.empty()) {
    const auto type = ParseDownloadType(raw.type);
    if (!type) return message = "--type: unknown download type \"" + raw.type + "\"", false;
    o.type = *type;
  }
  for (const auto& text : raw.ports) {
    const auto port = ParsePortNumber(text);
    if (!port) return message = "--port: 1 or 2 (COM1, COM2), not \"" + text + "\"", false;
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
  if (!o.logFile.empty() && !o.logDir.empty()) return message = "--log and --log-dir: one or the other", false;
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
  auto* download = app.add_subcommand("download", "run a download of IMAGE (the window's Run)");
  download->add_option("IMAGE", o.image, "the image file (*.bin)")->required();
  AddLinkOptions(*download, o, raw);
  download->add_option("--font-address", o.fontAddress, "FONT: the start address, hex digits");
  download->add_option("--font-blocks", o.fontBlocks, "FONT: the number of 64 KB blocks, 1..100");
  auto* info = app.add_subcommand("info", "read and print the handset's S/W version, compile date, PCB version");
  AddLinkOptions(*info, o, raw);
  auto* todm = app.add_subcommand("todm", "switch the handset's serial port into DM mode");
  AddLinkOptions(*todm, o, raw);
  auto* ports = app.add_subcommand("ports", "list the serial devices present");

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
  } catch (const CLI::ParseError& e) {
    std::ostringstream out;
    out << e.what() << "\n" << "Run with --help for more information.";
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
  if (!Finish(raw, o, message)) return CliParse::Error;
  options = std::move(o);
  return CliParse::Ok;
}
