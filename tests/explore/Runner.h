#pragma once
// One run of a schedule: the download core (or, asked to, the window around it) on virtual time
// against the simulated handset in the same process, to its end, and the checks every run must
// pass:
//   - "Downloading completed" only with the image in the flash over the range and every other
//     byte as it was;
//   - an end (one Finished, nothing after it) within kRunBoundMs of virtual time;
//   - no request while a reply to another is owed, unless the engine wrote the owed replies off
//     (its trace says so) before that request, or took replies unchecked then ("another check",
//     which junk can mimic) until it took that back;
//   - any other end a clear failure: a Finished that is not Completed (and through the window,
//     the idle buttons back);
//   - a live schedule (the adversary promises it completes) ends Completed.
#include <atomic>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "EngineEvents.h"
#include "explore/Schedule.h"

namespace sim {
class CLoopbackDevice;
}

namespace explore {

// The longest legitimate download: three erase cycles of 300 s each with their blocks, a version
// given up on after 15 s, the ToDM sequence, the pauses. A run still going after this never ends.
constexpr uint64_t kRunBoundMs = 90 * 60 * 1000;

struct Result {
  bool failed = false;
  std::string why;  // the first check that failed
  // The promise itself failed: a false success, flash outside the range changed, no end in the
  // bound, no clear end. Else only liveness or a request sent while owed.
  bool promise = false;
  bool ended = false;
  Outcome outcome = Outcome::NoReply;
  uint64_t virtualMs = 0;  // from Run to the end
  // What the engine's trace said, to tell failures apart.
  bool wroteOff = false;    // owed replies written off
  bool otherCheck = false;  // replies taken unchecked: "another check" settled
  // The flash was wrong after the cable forged a request: its bit errors changed a frame and
  // its FCS-16 still held. Outside the adversary (no host on this protocol can tell such a frame
  // from the one it sent), so not a failure; `why` says what broke.
  bool outside = false;
};

class CRunner {
 public:
  CRunner();
  ~CRunner();
  CRunner(const CRunner&) = delete;
  CRunner& operator=(const CRunner&) = delete;

  Result Run(const Schedule& schedule);
  // The engine's trace on stderr, with virtual times, as runs go.
  void EchoTrace(bool on) { m_echoTrace = on; }
  // Runs go through the window (its services, controls and boxes) instead of driving the core.
  void ThroughWindow(bool on) { m_throughWindow = on; }
  // The image a schedule's download takes, written where tarvisel-cli can read it.
  bool WriteImage(const Config& config, const std::string& path) const;

 private:
  struct Image {
    std::string path;
    std::vector<uint8_t> bytes;
  };
  const Image& ImageFor(const Config& config);
  // What a run came to, however it was driven.
  struct Ran {
    std::vector<std::pair<EngineCommand, Outcome>> finished;
    bool completionBox = false;
    bool idleButtons = true;
    std::string windowFailure;
    std::vector<std::string> logs;
  };
  // False when the image could not be opened.
  bool DriveCore(const Schedule& schedule, const Image& image, Result& r, Ran& ran,
                 const std::function<void(sim::CLoopbackDevice&, Ran&)>& judge);
  bool DriveWindow(const Schedule& schedule, const Image& image, Result& r, Ran& ran,
                   const std::function<void(sim::CLoopbackDevice&, Ran&)>& judge);

  std::string m_dir;
  std::map<uint64_t, Image> m_images;
  std::vector<uint8_t> m_before;  // the flash as every run finds it
  std::vector<uint64_t> m_writeOffs;  // virtual times the engine wrote owed replies off
  // From when the engine took replies unchecked ("another check") to when it took that back.
  std::vector<std::pair<uint64_t, uint64_t>> m_unchecked;
  std::atomic<const std::function<uint64_t()>*> m_clock{nullptr};  // virtual time, of the run in progress
  bool m_throughWindow = false;
  bool m_echoTrace = false;
  bool m_otherCheck = false;
};

}  // namespace explore
