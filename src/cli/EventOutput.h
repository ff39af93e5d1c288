#pragma once
// --json's stream of a station or a watch, for a reader that may be slow or may stop reading:
// the loop that reads the handsets and the signals never waits on it. Lines go out as the
// reader takes them (the descriptor is non-blocking for the time of the run); those it has not
// taken wait in memory up to a bound. A regular file is written as it is (it never makes a
// writer wait for long). At the bound, "progress" events give way first (the
// newest are left out, and waiting ones are taken out, oldest first, for the others); past a
// second bound "log" events too; every other event (started, phase, phone, port, finished) is
// always kept. Once the reader has taken all that waited, a "dropped" event for each device
// says how many of its events were left out; or before that device's "finished", which stays
// its last event.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/UniqueFd.h"

class CEventOutput {
 public:
  static constexpr size_t kDefaultBound = size_t{1} << 20;

  // fd >= 0: written to without blocking (a pipe or terminal through a descriptor of its own).
  // fd < 0: the stream takes each line as it comes (a caller whose stream is in memory).
  // clock: the "t" of a "dropped" event.
  CEventOutput(int fd, std::ostream& stream, std::function<double()> clock, size_t bound = kDefaultBound);
  ~CEventOutput();  // the descriptor's flags as they were
  CEventOutput(const CEventOutput&) = delete;
  CEventOutput& operator=(const CEventOutput&) = delete;

  void Emit(const nlohmann::ordered_json& object);
  // The descriptor to poll for POLLOUT while lines wait; -1 when none wait.
  int WaitingFd() const;
  // Writes what the reader takes now.
  void Write();
  bool Waiting() const { return !m_queue.empty(); }
  // The reader went away: nothing more is written.
  bool Broken() const { return m_broken; }
  size_t WaitingBytes() const { return m_bytes; }
  // At the end of a run: what still waits goes to the reader as it takes it, until then or
  // until stop (called when signalFd is readable) says the wait is over.
  void Finish(int signalFd, const std::function<bool()>& stop);

 private:
  enum class Kind { Progress, Log, Kept };
  struct Line {
    std::string text;
    std::string device;
    Kind kind;
    bool pinned = false;  // its device's "finished" waits behind it: what was left out is said before that
  };
  struct Drops {
    std::string device;
    uint64_t progress = 0;
    uint64_t log = 0;
  };
  void Dropped(const std::string& device, Kind kind);
  bool MakeRoom(size_t size, Kind kind);
  void Queue(std::string text, const std::string& device, Kind kind);
  void NoticeDrops(const std::string* device = nullptr);

  int m_fd;
  CUniqueFd m_own;  // the reader's pipe or terminal opened anew, non-blocking
  std::ostream& m_stream;
  std::function<double()> m_clock;
  size_t m_bound;
  int m_oldFlags = -1;
  std::deque<Line> m_queue;
  size_t m_bytes = 0;
  size_t m_offset = 0;  // of the first line, written in part
  std::vector<Drops> m_drops;
  bool m_broken = false;
};
