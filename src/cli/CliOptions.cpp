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
  std::string type, port, speed, timeout;
  bool yes = false, no = false;
};

void AddLinkOptions(CLI::App& sub, CliOptions& o, Raw& raw) {
  sub.add_option("--type", raw.type, "normal | emergency | font | change-emergency | change-normal");
  sub.add_option("--port", raw.port, "1 or 2 (COM1, COM2); default the stored PORT");
  sub.add_option("--device", o.device, "a device path instead of a port number");
  sub.add_option("--speed", raw.speed, "57600 or 115200; default the stored BAUD");
  auto* yes = sub.add_flag("--yes", raw.yes, "answer Yes to the questions");
  auto* no = sub.add_flag("--no", raw.no, "answer No to the questions");
  yes->excludes(no);
  sub.add_option("--log", o.logFile, "also write the log, with time stamps, to FILE");
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
  if (!raw.port.empty()) {
    o.port = ParsePortNumber(raw.port);
    if (!o.port) return message = "--port: 1 or 2 (COM1, COM2), not \"" + raw.port + "\"", false;
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
  static const char* const kNames[] = {"normal", "emergency", "font", "change-emergency", "change-normal"};
  for (int i = 0; i < 5; ++i)
    if (t == kNames[i]) return i;
  return std::nullopt;
}

std::optional<int> ParsePortNumber(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "1" || t == "com1") return 1;
  if (t == "2" || t == "com2") return 2;
  return std::nullopt;
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
