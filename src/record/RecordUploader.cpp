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

CRecordUploader::CRecordUploader(Setup setup) : m_setup(std::move(setup)), m_thread([this] { Loop(); }) {}

CRecordUploader::~CRecordUploader() {
  m_stop = true;
  {
    std::lock_guard lock(m_mutex);
    m_wake.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
}

void CRecordUploader::Nudge() {
  std::lock_guard lock(m_mutex);
  m_work = true;
  m_drained = false;
  m_wake.notify_all();
}

bool CRecordUploader::GiveUp() const {
  return m_stop || Clock::now().time_since_epoch().count() >= m_finishBy.load();
}

CRecordUploader::Report CRecordUploader::Finish(Clock::time_point deadline) {
  {
    std::unique_lock lock(m_mutex);
    m_finishBy = deadline.time_since_epoch().count();
    m_finishing = true;
    m_work = true;  // one more try now, whatever the pause
    m_wake.notify_all();
    m_wake.wait_until(lock, deadline, [this] { return m_drained || !m_thread.joinable(); });
  }
  m_stop = true;
  {
    std::lock_guard lock(m_mutex);
    m_wake.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
  std::lock_guard lock(m_mutex);
  return m_report;
}

std::string CRecordUploader::TakeNews() {
  std::lock_guard lock(m_mutex);
  return std::exchange(m_news, {});
}

void CRecordUploader::Loop() {
  std::mt19937 jitter(std::random_device{}());
  std::unique_ptr<CHistoryDb> outbox;
  std::unique_ptr<CSharedRecord> record;
  auto pause = m_setup.firstPause;
  bool failing = false;
  const auto giveUp = [this] { return GiveUp(); };
  while (!m_stop) {
    {
      std::lock_guard lock(m_mutex);
      m_work = false;
    }
    const auto bound = std::min(Clock::now() + m_setup.connectTime,
                                Clock::time_point(Clock::duration(m_finishBy.load())));
    std::string error;
    OutboxDrain d;
    if (!outbox) outbox = CHistoryDb::Open(m_setup.outboxPath, CHistoryDb::Access::Append, error);
    if (outbox && (!record || !record->Connection().Usable()))
      record = CSharedRecord::Open(m_setup.url, bound, error, giveUp);
    if (outbox && record) {
      d = DrainOutbox(*outbox, *record, Clock::now() + std::chrono::seconds(60), giveUp);
      error = d.error;
    } else {
      if (outbox) {
        std::string ignored;
        outbox->SetState(kLastErrorKey, Now() + " " + error, ignored);
        d.pending = outbox->PendingCount(ignored).value_or(-1);
      } else {
        d.pending = -1;
      }
    }
    std::unique_lock lock(m_mutex);
    m_report = {d.ok, d.pending, d.ok ? std::string() : error};
    if (d.ok) {
      if (failing) m_news = "record: the shared record is back: the outbox is sent";
      failing = false;
      pause = m_setup.firstPause;
      if (!m_work) m_drained = true;
      m_wake.notify_all();
      m_wake.wait(lock, [this] { return m_work || m_stop || (m_finishing && !m_drained); });
      continue;
    }
    if (!failing && !m_stop && !GiveUp())
      m_news = "record: cannot send to the shared record " + PgUrlShown(m_setup.url) + " (" + error +
               "); the rows wait in the outbox";
    failing = true;
    m_wake.notify_all();
    if (m_finishing && GiveUp()) break;
    // Half to one and a half times the pause, then twice as long next time.
    std::uniform_real_distribution<double> spread(0.5, 1.5);
    const auto wait = std::chrono::duration_cast<Clock::duration>(pause * spread(jitter));
    pause = std::min(pause * 2, m_setup.longestPause);
    m_wake.wait_until(lock, std::min(Clock::now() + wait, Clock::time_point(Clock::duration(m_finishBy.load()))),
                      [this] { return m_stop.load() || GiveUp() || m_work; });
    if (m_finishing && GiveUp()) break;
  }
}
