#pragma once
// The station's record is the outbox of the shared one: every row is written there first, then
// sent, oldest first, and marked sent only once the server has committed it. A row whose mark
// was lost (the process ended between the two) is sent again and stored once, by its UUID.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "PgConnection.h"

class CHistoryDb;
class CSharedRecord;

struct OutboxDrain {
  bool ok = false;      // the outbox was emptied (of what was in it when it began)
  int64_t sent = 0;     // rows the server committed
  int64_t fresh = 0;    // of them, rows it did not have yet
  int64_t pending = 0;  // rows still waiting
  std::string error;
};

// Sends the pending rows in batches, oldest first, until none is left, the deadline passes or
// giveUp says so. Notes the last upload and the last error in the outbox.
OutboxDrain DrainOutbox(CHistoryDb& outbox, CSharedRecord& record, CPgConnection::Clock::time_point deadline,
                        const CPgConnection::GiveUp& giveUp = nullptr, size_t batch = 500);

// The outbox state's keys.
inline constexpr const char* kLastUploadKey = "last_upload";  // "<ISO time> <rows>"
inline constexpr const char* kLastErrorKey = "last_error";    // "<ISO time> <why>"

// Sends in the background: a thread that drains the outbox whenever told of a new row, and
// while the server is away tries again after a pause that doubles up to a limit, with jitter so
// that a line of stations does not come back at the same instant.
class CRecordUploader {
 public:
  using Clock = CPgConnection::Clock;
  struct Setup {
    std::string url;
    std::string outboxPath;
    std::chrono::milliseconds firstPause{500};
    std::chrono::milliseconds longestPause{60000};
    std::chrono::milliseconds connectTime{10000};  // a connection's bound while not finishing
  };
  struct Report {
    bool drained = false;
    int64_t pending = -1;  // -1: not known
    std::string error;     // the last one, when not drained
  };

  explicit CRecordUploader(Setup setup);
  // Gives up at once: what is not sent stays in the outbox.
  ~CRecordUploader();
  CRecordUploader(const CRecordUploader&) = delete;
  CRecordUploader& operator=(const CRecordUploader&) = delete;

  // A new row waits in the outbox.
  void Nudge();
  // Sends what waits until the outbox is empty or the deadline passes, then ends the thread.
  Report Finish(Clock::time_point deadline);
  // A change of state to tell (the server went away or came back) since last asked; empty if none.
  std::string TakeNews();

 private:
  // What the thread shares with its owner: the thread keeps it alive, so that an owner that
  // cannot wait longer (a name lookup that hangs) may leave the thread to end on its own.
  struct State {
    explicit State(Setup s) : setup(std::move(s)) {}
    const Setup setup;
    std::mutex mutex;
    std::condition_variable wake;
    bool work = true;  // drain at the start: rows an earlier run left
    bool drained = false;
    bool finishing = false;
    bool ended = false;  // the thread is done
    std::atomic<bool> stop{false};
    std::atomic<int64_t> finishBy{INT64_MAX};  // steady clock, nanoseconds
    Report report;
    std::string news;
    bool GiveUp() const;
  };
  static void Loop(const std::shared_ptr<State>& state);
  // Ends the thread: joined when it ends by the deadline, else left to end by itself.
  void End(Clock::time_point by);

  std::shared_ptr<State> m_state;
  std::thread m_thread;
};
