#include "ThrdBase.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

CThreadBase::~CThreadBase() { Join(); }

bool CThreadBase::CreateThread(bool suspended, bool raisePriority) {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return false;
  m_nSuspendCount = suspended ? 1 : 0;
  m_thread = std::thread(&CThreadBase::Main, this, raisePriority);
  return true;
}

void CThreadBase::Main(bool raisePriority) {
  const auto tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (raisePriority) {
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice - 1);  // EACCES: stay
  }
  {
    std::unique_lock lock(m_mutex);
    m_nThreadId = static_cast<uint32_t>(tid);
    m_bParked = true;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return m_nSuspendCount == 0 || m_bQuit; });
    m_bParked = false;
    if (m_bQuit) {
      m_bFinished = true;
      m_cv.notify_all();
      return;
    }
  }
  if (InitInstance()) Run();
  ExitInstance();
  std::lock_guard lock(m_mutex);
  m_bFinished = true;
  m_cv.notify_all();
}

void CThreadBase::ResumeThread() {
  {
    std::lock_guard lock(m_mutex);
    if (m_nSuspendCount > 0) --m_nSuspendCount;
  }
  m_cv.notify_all();
}

void CThreadBase::SuspendThread() {
  {
    std::lock_guard lock(m_mutex);
    ++m_nSuspendCount;
    if (!m_thread.joinable() || m_bFinished) return;
    if (m_thread.get_id() == std::this_thread::get_id()) return;
  }
  OnSuspendRequest();
  std::unique_lock lock(m_mutex);
  m_cv.wait(lock, [this] { return m_bParked || m_bFinished; });
}

void CThreadBase::ParkPoint() {
  std::unique_lock lock(m_mutex);
  if (m_nSuspendCount == 0) return;
  m_bParked = true;
  m_cv.notify_all();
  m_cv.wait(lock, [this] { return m_nSuspendCount == 0 || m_bQuit; });
  m_bParked = false;
}

uint32_t CThreadBase::ThreadId() const {
  std::unique_lock lock(m_mutex);
  // The id is known once the thread runs; wait briefly for it rather than report 0.
  m_cv.wait(lock, [this] { return m_nThreadId != 0 || !m_thread.joinable(); });
  return m_nThreadId;
}

bool CThreadBase::IsFinished() const {
  std::lock_guard lock(m_mutex);
  return m_bFinished;
}

void CThreadBase::Join() {
  {
    std::lock_guard lock(m_mutex);
    m_bQuit = true;
  }
  m_cv.notify_all();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}
