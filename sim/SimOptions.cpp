#include "SimOptions.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

constexpr size_t kMinFlash = 4096;
constexpr size_t kMaxFlash = size_t{256} << 20;

// Decimal or 0x hexadecimal, with an optional K or M (KiB, MiB).
bool ParseSize(const std::string& s, size_t& out) {
  std::string t = s;
  size_t scale = 1;
  if (!t.empty() && (t.back() == 'K' || t.back() == 'k')) scale = 1024;
  if (!t.empty() && (t.back() == 'M' || t.back() == 'm')) scale = 1024 * 1024;
  if (scale != 1) t.pop_back();
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    t = t.substr(2);
    base = 16;
  }
  if (t.empty()) return false;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
  if (ec != std::errc() || end != t.data() + t.size() || v > kMaxFlash / scale) return false;
  out = static_cast<size_t>(v * scale);
  return true;
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return true;
}

}  // namespace

bool ParseSimArgs(const std::vector<std::string>& args, SimOptions& o, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& v) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      v = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--pace") {
      o.pace = true;
    } else if (a == "--exit-after-download") {
      o.exitAfterDownload = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--scenario") {
      if (!value(v) || !o.scenario.Parse(v, error)) return false;
    } else if (a == "--replay") {
      // An explorer's schedule line: what follows its '|' is the scenario.
      if (!value(v)) return false;
      const size_t bar = v.find('|');
      if (!o.scenario.Parse(bar == std::string::npos ? v : v.substr(bar + 1), error)) return false;
    } else if (a == "--scenario-file") {
      if (!value(v)) return false;
      std::string text;
      if (!ReadFile(v, text)) {
        error = "cannot read the scenario file " + v;
        return false;
      }
      if (!o.scenario.Parse(text, error)) {
        error = v + ": " + error;
        return false;
      }
    } else if (a == "--flash-size") {
      if (!value(v)) return false;
      if (!ParseSize(v, o.flashSize) || o.flashSize < kMinFlash) {
        error = "--flash-size: '" + v + "' is not a size from 4K to 256M";
        return false;
      }
    } else if (a == "--save-flash") {
      if (!value(o.saveFlash)) return false;
    } else if (a == "--record") {
      if (!value(o.record)) return false;
    } else if (a == "--link") {
      if (!value(o.link)) return false;
    } else if (a == "--line-log") {
      if (!value(o.lineLog)) return false;
    } else {
      error = "unknown option '" + a + "' (see --help)";
      return false;
    }
  }
  return true;
}

std::string SimUsage() {
  return std::string(R"(Usage: tarvisel-sim [options]
A simulated handset behind a pseudo-terminal. Prints the slave's path on one line, then
answers the tool on it until SIGINT or SIGTERM. SIGUSR1 power-cycles the handset: it boots
into download mode when its flash was left incomplete, and says so on stderr.
  --scenario TEXT         the handset and its faults (below); may be repeated
  --scenario-file FILE    the same, from a file
  --replay LINE           the scenario of a schedule line that tarvisel-explore printed
                          (the text after its '|'); run tarvisel-cli as it says beside it
  --flash-size N          flash size in bytes, K or M allowed (default 16M)
  --save-flash FILE       write the flash to FILE at exit
  --record FILE           write a line per received frame to FILE, "# power cycle: ..." at
                          each power cycle; at exit "# bits flipped on the line: N host to
                          handset, M handset to host" and a last line "# requests sent while
                          a reply was owed: N" (both also on stderr)
  --verbose, -v           the same lines on stderr
  --link PATH             make PATH a symbolic link to the slave (removed at exit)
  --pace                  move bytes at the line rate, 10 bits a byte, both ways
  --line-log FILE         write every byte that crosses the line to FILE as hex lines,
                          "SECONDS host|handset BIT/S BYTES", in the order they crossed,
                          after a first line "# t0 SECONDS": the wall-clock time of 0
  --exit-after-download   exit 0 once the final jump has been acknowledged
  --help, -h              this text
  --version               the version
)") + CScenario::SyntaxHelp();
}

}  // namespace sim
