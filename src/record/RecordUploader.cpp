#include "RecordUploader.h"

#include <algorithm>
#include <random>
#include <utility>

#include "HistoryDb.h"
#include "IsoTime.h"
#include "SharedRecord.h"

namespace {

std::string Now() { return IsoUtc(std::chrono::system_clock::now()); }

}  // namespace

OutboxDrain DrainOutbox(CHistoryDb& outbox, CSharedRecord& record, CPgConnection::Clock::time_point deadline,
                        const CPgConnection::GiveUp& giveUp, size_t batch) {
  OutboxDrain d;
  std::string error, ignored;
  // What waits now, and no more: rows that arrive meanwhile are the next drain's.
  const auto waiting = outbox.PendingCount(error);
  if (!waiting) return d.error = error, d;
  int64_t left = *waiting;
  while (left > 0) {
    const auto rows = outbox.Pending(std::min<size_t>(batch, static_cast<size_t>(left)), error);
    if (!rows) break;
    if (rows->empty()) break;
    const auto fresh = record.Insert(*rows, deadline, error, giveUp);
    if (!fresh) break;
    std::vector<std::string> uuids;
    for (const auto& r : *rows) uuids.push_back(r.uuid);
    const std::string at = Now();
    if (!outbox.MarkSent(uuids, at, error)) break;
    d.sent += static_cast<int64_t>(rows->size());
    d.fresh += *fresh;
    left -= static_cast<int64_t>(rows->size());
    outbox.SetState(kLastUploadKey, at + " " + std::to_string(rows->size()), ignored);
  }
  d.pending = outbox.PendingCount(ignored).value_or(-1);
  d.ok = left <= 0 && error.empty();
  if (!d.ok) {
    d.error = error.empty() ? "stopped" : error;
    outbox.SetState(kLastErrorKey, Now() + " " + d.error, ignored);
  }
  return d;
}

CRecordUploader::CRecordUploader(Setup setup)
    : m_state(std::make_shared<State>(std::move(setup))), m_thread([state = m_state] { Loop(state); }) {}

CRecordUploader::~CRecordUploader() { End(Clock::now()); }

void CRecordUploader::End(Clock::time_point by) {
  if (!m_thread.joinable()) return;
  State& s = *m_state;
  s.stop = true;
  std::unique_lock lock(s.mutex);
  s.wake.notify_all();
  // A connection gives up within a slice of its wait; a name lookup of the server may not.
  const bool ended = s.wake.wait_until(lock, std::max(by, Clock::now()) + std::chrono::milliseconds(200),
                                       [&] { return s.ended; });
  lock.unlock();
  if (ended) m_thread.join();
  else m_thread.detach();
}

void CRecordUploader::Nudge() {
  std::lock_guard lock(m_state->mutex);
  m_state->work = true;
  m_state->drained = false;
  m_state->wake.notify_all();
}

bool CRecordUploader::State::GiveUp() const {
  return stop || Clock::now().time_since_epoch().count() >= finishBy.load();
}

CRecordUploader::Report CRecordUploader::Finish(Clock::time_point deadline) {
  State& s = *m_state;
  {
    std::unique_lock lock(s.mutex);
    s.finishBy = deadline.time_since_epoch().count();
    s.finishing = true;
    s.work = true;  // one more try now, whatever the pause
    s.wake.notify_all();
    s.wake.wait_until(lock, deadline, [&] { return s.drained || s.ended; });
  }
  End(deadline);
  std::lock_guard lock(s.mutex);
  return s.report;
}

std::string CRecordUploader::TakeNews() {
  std::lock_guard lock(m_state->mutex);
  return std::exchange(m_state->news, {});
}

void CRecordUploader::Loop(const std::shared_ptr<State>& state) {
  State& s = *state;
  std::mt19937 jitter(std::random_device{}());
  std::unique_ptr<CHistoryDb> outbox;
  std::unique_ptr<CSharedRecord> record;
  auto pause = s.setup.firstPause;
  bool failing = false;
  const auto giveUp = [&s] { return s.GiveUp(); };
  const auto finishBy = [&s] { return Clock::time_point(Clock::duration(s.finishBy.load())); };
  while (!s.stop) {
    bool lastTry = false;  // the try the end asked for: once it fails, the end waits no more
    {
      std::lock_guard lock(s.mutex);
      s.work = false;
      lastTry = s.finishing;
    }
    const auto bound = std::min(Clock::now() + s.setup.connectTime, finishBy());
    std::string error;
    OutboxDrain d;
    if (!outbox) outbox = CHistoryDb::Open(s.setup.outboxPath, CHistoryDb::Access::Append, error);
    if (outbox && (!record || !record->Connection().Usable()))
      record = CSharedRecord::Open(s.setup.url, bound, error, giveUp);
    if (outbox && record) {
      d = DrainOutbox(*outbox, *record, Clock::now() + std::chrono::seconds(60), giveUp);
      error = d.error;
    } else if (outbox) {
      std::string ignored;
      outbox->SetState(kLastErrorKey, Now() + " " + error, ignored);
      d.pending = outbox->PendingCount(ignored).value_or(-1);
    } else {
      d.pending = -1;
    }
    std::unique_lock lock(s.mutex);
    s.report = {d.ok, d.pending, d.ok ? std::string() : error};
    if (d.ok) {
      if (failing) s.news = "record: the shared record is back: the outbox is sent";
      failing = false;
      pause = s.setup.firstPause;
      if (!s.work) s.drained = true;
      s.wake.notify_all();
      s.wake.wait(lock, [&s] { return s.work || s.stop || (s.finishing && !s.drained); });
      continue;
    }
    if (!failing && !s.GiveUp())
      s.news = "record: cannot send to the shared record " + PgUrlShown(s.setup.url) + " (" + error +
               "); the rows wait in the outbox";
    failing = true;
    s.wake.notify_all();
    if (lastTry || (s.finishing && s.GiveUp())) break;
    // Half to one and a half times the pause, then twice as long next time.
    std::uniform_real_distribution<double> spread(0.5, 1.5);
    const auto wait = std::chrono::duration_cast<Clock::duration>(pause * spread(jitter));
    pause = std::min(pause * 2, s.setup.longestPause);
    s.wake.wait_until(lock, std::min(Clock::now() + wait, finishBy()), [&s] { return s.stop || s.GiveUp() || s.work; });
    if (s.finishing && s.GiveUp()) break;
  }
  // Whatever is open is closed before the owner hears of the end.
  record.reset();
  outbox.reset();
  std::lock_guard lock(s.mutex);
  s.ended = true;
  s.wake.notify_all();
}
