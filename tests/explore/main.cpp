// tarvisel-explore: runs the download engine against the simulated handset under fault schedules
// drawn from the written adversary, on virtual time, and checks every run. See --help.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "explore/Generate.h"
#include "explore/Runner.h"

namespace {

const char* kUsage = R"(Usage: tarvisel-explore [options]
Runs downloads against the simulated handset on virtual time under fault schedules and checks
each run; prints each failing schedule as one line that replays it, and last
"N schedules, M failed, R per second".
  --seconds N          run for N seconds of real time (default 10)
  --count N            at most N schedules (per seed)
  --seed S             swarm schedules of seed S; may be repeated (default: one new seed)
  --new-seed           also one new seed, printed
  --type TYPE          swarm schedules of downloads of this type alone (normal, emergency, font,
                       change-emergency, change-normal)
  --exhaustive         every schedule of up to two faults of the alphabet, 1 to 4 blocks
  --from I             the exhaustive search starts at schedule I
  --replay LINE        run the one schedule LINE and say what it did
  --file FILE          run each schedule line of FILE ('#' comments); a failure of any fails
  --expect-fail        with --file: each line must fail instead (the faults are still there)
  --write-image LINE FILE
                       write the image LINE's download takes to FILE (for tarvisel-cli)
  --trace              with --replay: the engine's trace and the handset's frames on stderr
  --through-window     each run through the window (its services, controls and boxes) instead
                       of driving the download core directly
  --quiet              print failures only as their replay lines
  --new-seed-advisory  also one new seed, printed, whose failures are printed but not counted
                       in the exit status (while faults it may meet are still open)
  --promise-only       count only failures of the promise (a false success, flash outside the
                       range changed, no end in the bound, no clear end); schedules that end
                       otherwise than the adversary allows are counted apart, not printed
  --help               this text
)";

struct Options {
  double seconds = 10;
  uint64_t count = UINT64_MAX;
  std::vector<uint64_t> seeds;
  bool newSeed = false;
  bool exhaustive = false;
  uint64_t from = 0;
  std::string replay, file, imageLine, imagePath;
  bool expectFail = false;
  bool quiet = false;
  bool trace = false;
  bool throughWindow = false;
  bool promiseOnly = false;
  bool newSeedAdvisory = false;
  std::optional<explore::DlType> type;
};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// How to run the same schedule over a pty, with the programs themselves.
std::string PtyCommands(const explore::Schedule& s) {
  const std::string line = Quote(s.Line());
  std::string cli = "tarvisel-cli download /tmp/tarvisel-explore.bin --device /tmp/tarvisel-explore-tty --type " +
                    std::string(explore::TypeWord(s.config.type)) + " --speed " + std::to_string(s.config.speed) +
                    " --yes --no-history";
  if (s.config.type == explore::DlType::Font) cli += std::string(" --font-address ") + explore::kFontAddressText + " --font-blocks 1";
  return "tarvisel-explore --write-image " + line + " /tmp/tarvisel-explore.bin\n"
         "    tarvisel-sim --flash-size " + std::string(explore::kFlashSizeText) + " --link /tmp/tarvisel-explore-tty --replay " + line + " &\n"
         "    " + cli;
}

void Report(const explore::Schedule& s, const explore::Result& r, bool quiet, double atSeconds = -1) {
  if (quiet) {
    std::cout << s.Line() << "\n";
    return;
  }
  std::cout << "FAIL";
  if (atSeconds >= 0) std::cout << " (after " << static_cast<int>(atSeconds * 10) / 10.0 << " s)";
  std::cout << ": " << r.why;
  if (r.wroteOff || r.otherCheck) {
    std::cout << " [" << (r.wroteOff ? "after a write-off" : "") << (r.wroteOff && r.otherCheck ? ", " : "")
              << (r.otherCheck ? "replies taken unchecked" : "") << "]";
  }
  std::cout << "\n  scripts/explore --replay " << Quote(s.Line()) << "\n  over a pty:\n    "
            << PtyCommands(s) << std::endl;
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](std::string& v) {
      if (i + 1 >= argc) {
        std::cerr << "tarvisel-explore: " << a << " needs a value\n";
        return false;
      }
      v = argv[++i];
      return true;
    };
    std::string v;
    try {
      if (a == "--help" || a == "-h") {
        std::cout << kUsage;
        std::exit(0);
      } else if (a == "--seconds") {
        if (!next(v)) return false;
        o.seconds = std::stod(v);
      } else if (a == "--count") {
        if (!next(v)) return false;
        o.count = std::stoull(v);
      } else if (a == "--seed") {
        if (!next(v)) return false;
        o.seeds.push_back(std::stoull(v));
      } else if (a == "--new-seed") {
        o.newSeed = true;
      } else if (a == "--type") {
        if (!next(v)) return false;
        for (int t = 0; t < explore::kTypeCount; ++t) {
          if (v == explore::TypeWord(static_cast<explore::DlType>(t))) o.type = static_cast<explore::DlType>(t);
        }
        if (!o.type) {
          std::cerr << "tarvisel-explore: --type: no download type '" << v << "'\n";
          return false;
        }
      } else if (a == "--exhaustive") {
        o.exhaustive = true;
      } else if (a == "--from") {
        if (!next(v)) return false;
        o.from = std::stoull(v);
      } else if (a == "--replay") {
        if (!next(o.replay)) return false;
      } else if (a == "--file") {
        if (!next(o.file)) return false;
      } else if (a == "--expect-fail") {
        o.expectFail = true;
      } else if (a == "--write-image") {
        if (!next(o.imageLine) || !next(o.imagePath)) return false;
      } else if (a == "--trace") {
        o.trace = true;
      } else if (a == "--through-window") {
        o.throughWindow = true;
      } else if (a == "--quiet") {
        o.quiet = true;
      } else if (a == "--promise-only") {
        o.promiseOnly = true;
      } else if (a == "--new-seed-advisory") {
        o.newSeed = o.newSeedAdvisory = true;
      } else {
        std::cerr << "tarvisel-explore: unknown option '" << a << "' (see --help)\n";
        return false;
      }
    } catch (const std::exception&) {
      std::cerr << "tarvisel-explore: " << a << ": '" << v << "' is not a number\n";
      return false;
    }
  }
  return true;
}

using Clock = std::chrono::steady_clock;

struct Tally {
  uint64_t runs = 0, failed = 0;
  uint64_t unpromised = 0;  // with --promise-only: liveness and sends while owed, not counted
  uint64_t advisory = 0;    // failures of the advisory new seed
  uint64_t outside = 0;     // broken by a request the cable forged (Result::outside)
  Clock::time_point start = Clock::now();
  void Summary() const {
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (advisory)
      std::printf("%llu failed on the new seed (printed above; not in the exit status: --new-seed-advisory)\n",
                  static_cast<unsigned long long>(advisory));
    if (outside)
      std::printf("%llu more broke after the cable forged a request whose FCS-16 held (outside the adversary: "
                  "not counted)\n",
                  static_cast<unsigned long long>(outside));
    if (unpromised)
      std::printf("%llu more did not complete where the adversary allows it, or sent while a reply was owed "
                  "(not counted: --promise-only)\n",
                  static_cast<unsigned long long>(unpromised));
    std::printf("%llu schedules, %llu failed, %.0f per second\n", static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(failed), s > 0 ? static_cast<double>(runs) / s : 0.0);
  }
};

int RunFile(const Options& o, explore::CRunner& runner) {
  std::ifstream in(o.file);
  if (!in) {
    std::cerr << "tarvisel-explore: cannot read " << o.file << "\n";
    return 2;
  }
  Tally t;
  int wrong = 0;
  std::string line;
  while (std::getline(in, line)) {
    const size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#') continue;
    std::string error;
    const auto s = explore::ParseLine(line, error);
    if (!s) {
      std::cerr << "tarvisel-explore: " << o.file << ": " << error << "\n";
      return 2;
    }
    const explore::Result r = runner.Run(*s);
    ++t.runs;
    t.failed += r.failed;
    if (r.failed != o.expectFail) ++wrong;
    std::cout << (r.failed    ? "FAIL: " + r.why
                  : r.outside ? "outside the adversary: " + r.why
                              : std::string("pass: ") + OutcomeName(r.outcome))
              << "\n  "
              << s->Line() << std::endl;
  }
  t.Summary();
  return wrong ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) return 2;
  explore::CRunner runner;
  runner.EchoTrace(o.trace);
  runner.ThroughWindow(o.throughWindow);

  if (!o.imageLine.empty()) {
    std::string error;
    const auto s = explore::ParseLine(o.imageLine, error);
    if (!s) {
      std::cerr << "tarvisel-explore: " << error << "\n";
      return 2;
    }
    return runner.WriteImage(s->config, o.imagePath) ? 0 : 1;
  }
  if (!o.file.empty()) return RunFile(o, runner);
  if (!o.replay.empty()) {
    std::string error;
    const auto s = explore::ParseLine(o.replay, error);
    if (!s) {
      std::cerr << "tarvisel-explore: " << error << "\n";
      return 2;
    }
    Tally t;
    const explore::Result r = runner.Run(*s);
    t.runs = 1;
    t.failed = r.failed;
    std::cout << (r.ended ? std::string("ended ") + OutcomeName(r.outcome) : std::string("no end")) << " after "
              << r.virtualMs / 1000.0 << " s of virtual time\n";
    if (r.outside) std::cout << "outside the adversary: " << r.why << "\n";
    if (r.failed) Report(*s, r, o.quiet);
    t.Summary();
    return r.failed ? 1 : 0;
  }

  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  Tally t;
  bool advisory = false;  // the runs of the advisory new seed
  std::map<std::string, double> firstSeen;  // each kind of failure, when it was first found
  auto one = [&](const explore::Schedule& s) {
    const explore::Result r = runner.Run(s);
    ++t.runs;
    if (r.outside) {
      ++t.outside;
      if (!o.quiet) std::cout << "outside the adversary: " << r.why << "\n  " << s.Line() << std::endl;
    }
    if (!r.failed) return;
    if (o.promiseOnly && !r.promise) {
      ++t.unpromised;
      return;
    }
    if (advisory) {
      ++t.advisory;
      Report(s, r, o.quiet);
      return;
    }
    ++t.failed;
    const std::string kind = r.why.substr(0, r.why.find(" from block"));
    const double at = std::chrono::duration<double>(Clock::now() - t.start).count();
    firstSeen.emplace(kind, at);
    Report(s, r, o.quiet, at);
  };
  if (o.exhaustive) {
    const explore::CExhaustive all;
    std::cout << "exhaustive: " << all.Count() << " schedules (indices 0 to " << all.Size() - 1 << "), from " << o.from
              << std::endl;
    for (uint64_t i = o.from; i < all.Size() && i - o.from < o.count && Clock::now() < deadline; ++i) {
      if (auto s = all.At(i)) one(*s);
    }
  } else {
    std::vector<uint64_t> seeds = o.seeds;
    if (seeds.empty() || o.newSeed) {
      std::random_device rd;
      seeds.push_back((uint64_t{rd()} << 32) | rd());
      std::cout << "new seed: " << seeds.back() << std::endl;
    }
    // The time is shared by the seeds alike.
    const auto share = (deadline - Clock::now()) / static_cast<int>(seeds.size());
    const bool drewSeed = o.seeds.empty() || o.newSeed;
    for (size_t k = 0; k < seeds.size(); ++k) {
      advisory = o.newSeedAdvisory && drewSeed && k + 1 == seeds.size();
      const auto until = std::min(deadline, Clock::now() + share);
      for (uint64_t i = 0; i < o.count && Clock::now() < until; ++i) one(explore::Swarm(seeds[k], i, o.type));
    }
  }
  t.Summary();
  return t.failed ? 1 : 0;
}
