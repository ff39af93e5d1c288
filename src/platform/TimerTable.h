#pragma once
// Window timers by id on a millisecond clock that the owner supplies, so that the same rules
// serve virtual and real time. The rules follow the platform's window timers: setting an id
// again replaces it; expiries keep their schedule, and a timer that expired several times
// while nobody looked fires once.
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// A zero period would expire endlessly at one instant. (The platform raises anything below
// 10 ms; test harnesses here time byte deliveries to the millisecond, so only 0 is raised.)
constexpr uint32_t kMinTimerPeriodMs = 1;

struct TimerInfo {
  uint32_t id = 0;
  uint32_t periodMs = 0;
  uint64_t dueMs = 0;
};

class CTimerTable {
 public:
  // Arms id to expire periodMs after nowMs and every periodMs after that.
  void Set(uint32_t id, uint32_t periodMs, uint64_t nowMs);
  // False when no such timer was armed.
  bool Kill(uint32_t id);
  // The timer that expires first; ties go to the one armed earlier.
  std::optional<TimerInfo> Earliest() const;
  // Takes one expiry of id at nowMs (not before its due time): the next one is due on the
  // timer's own schedule, the first slot after nowMs. False when id is not armed.
  bool Expire(uint32_t id, uint64_t nowMs);
  std::vector<TimerInfo> Armed() const;  // by id
  bool Empty() const { return m_timers.empty(); }

 private:
  struct Entry {
    uint32_t periodMs = 0;
    uint64_t dueMs = 0;
    uint64_t order = 0;  // breaks ties between equal due times
  };
  std::map<uint32_t, Entry> m_timers;
  uint64_t m_nextOrder = 0;
};
