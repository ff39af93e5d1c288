// The command line's options on any argument vector: a parse that succeeds leaves only values
// the engine can take; any other ends in a message.
//
// Input: the arguments, each ended by a NUL (at most 32).
#include <cmath>

#include "CliOptions.h"
#include "DlgFont.h"
#include "FuzzSupport.h"

namespace {

bool AllOf(const std::string& s, bool (*pred)(char)) {
  for (char c : s) {
    if (!pred(c)) return false;
  }
  return true;
}
bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLowerHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::CReader in(data, size);
  std::vector<std::string> args;
  while (!in.Empty() && args.size() < 32) args.push_back(in.Text());

  for (const auto& a : args) {
    if (const auto t = ParseDownloadType(a)) FUZZ_CHECK(*t >= 0 && *t <= 4, "a type index");
    if (const auto p = ParsePortNumber(a)) FUZZ_CHECK(*p == 1 || *p == 2, "a port number");
    if (const auto s = ParseSpeedIndex(a)) FUZZ_CHECK(*s == 0 || *s == 1, "a speed index");
  }

  CliOptions options;
  std::string message;
  const CliParse result = ParseCliArgs(args, options, message);
  if (result != CliParse::Ok) {
    FUZZ_CHECK(!message.empty(), "help or an error without a text");
    FUZZ_CHECK(options.command == CliCommand::None, "options filled in by a failed parse");
    return 0;
  }
  FUZZ_CHECK(options.command != CliCommand::None, "a parse without a command");
  FUZZ_CHECK(options.type >= 0 && options.type <= 4, "the type");
  for (int port : options.ports) FUZZ_CHECK(port == 1 || port == 2, "a port");
  for (const auto& device : options.devices) FUZZ_CHECK(!device.empty(), "an empty device path");
  if (options.command == CliCommand::Download && HandsetCount(options) > 1) {
    FUZZ_CHECK(options.answer != CliAnswer::Ask, "several handsets without --yes or --no");
  }
  if (options.speedIdx) FUZZ_CHECK(*options.speedIdx == 0 || *options.speedIdx == 1, "the speed");
  if (options.timeoutSecs) {
    FUZZ_CHECK(std::isfinite(*options.timeoutSecs) && *options.timeoutSecs > 0 && *options.timeoutSecs <= 1e6,
               "the time-out");
  }
  if (options.fontAddress || options.fontBlocks) FUZZ_CHECK(options.type == 2, "font parameters without FONT");
  if (options.fontAddress) {
    const std::string& a = *options.fontAddress;
    FUZZ_CHECK(!a.empty() && a.size() <= 6 && AllOf(a, IsHex), "the font address");
  }
  if (options.fontBlocks) {
    const std::string& b = *options.fontBlocks;
    FUZZ_CHECK(!b.empty() && b.size() <= 3 && AllOf(b, IsDigit), "the font block count's digits");
    const int n = std::stoi(b);
    FUZZ_CHECK(n >= CDlgFont::kMinBlockCount && n <= CDlgFont::kMaxBlockCount, "the font block count");
  }
  const bool flashes = options.command == CliCommand::Download || options.command == CliCommand::Watch;
  if (!flashes) {
    FUZZ_CHECK(options.image.empty(), "an image outside a download");
  }
  if (options.command == CliCommand::Watch) {
    FUZZ_CHECK(options.answer != CliAnswer::Ask, "a watch without --yes or --no");
    FUZZ_CHECK(!options.portsDir.empty(), "an empty ports folder");
  }
  FUZZ_CHECK(options.retries >= 0 && options.retries <= 100, "the tries again");
  for (const auto& id : options.matches) {
    FUZZ_CHECK(id.vendor.size() == 4 && id.product.size() == 4 && AllOf(id.vendor, IsLowerHex) &&
                   AllOf(id.product, IsLowerHex),
               "a USB id");
  }
  FUZZ_CHECK(!(options.noHistory && !options.historyFile.empty()), "--history with --no-history");
  // Stored times compare as text: --since must be one of them.
  if (!options.since.empty()) FUZZ_CHECK(options.since.size() == 24 && options.since.back() == 'Z', "--since's time");
  if (!options.outcomeFilter.empty()) FUZZ_CHECK(IsRecordedOutcome(options.outcomeFilter), "--outcome");
  FUZZ_CHECK(!(options.csv && options.json && options.command == CliCommand::History), "--csv with --json");
  return 0;
}
