#include "support/FakeSerialDevice.h"

#include <algorithm>
#include <utility>

bool CFakeSerialDevice::Open(const std::string& path) {
  std::lock_guard lock(m_mutex);
  m_paths.push_back(path);
  if (path.empty() || m_failOpens > 0) {
    if (m_failOpens > 0) --m_failOpens;
    return false;
  }
  m_open = true;
  ++m_openCount;
  return true;
}

bool CFakeSerialDevice::IsOpen() const {
  std::lock_guard lock(m_mutex);
  return m_open;
}

bool CFakeSerialDevice::Configure(const SerialSettings& settings) {
  std::lock_guard lock(m_mutex);
  m_bauds.push_back(settings.baud);
  return m_open;
}

void CFakeSerialDevice::Purge() {
  std::lock_guard lock(m_mutex);
  m_input.clear();
}

void CFakeSerialDevice::ClearDtr() {
  std::lock_guard lock(m_mutex);
  m_dtrCleared = true;
}

void CFakeSerialDevice::Close() {
  {
    std::lock_guard lock(m_mutex);
    if (m_open) ++m_closeCount;
    m_open = false;
    ++m_wakeSeq;
  }
  m_cv.notify_all();
}

size_t CFakeSerialDevice::BytesWaiting() {
  std::lock_guard lock(m_mutex);
  ++m_readCalls;
  return m_open ? m_input.size() : 0;
}

size_t CFakeSerialDevice::Read(uint8_t* dst, size_t max) {
  std::lock_guard lock(m_mutex);
  if (!m_open) return 0;
  size_t n = std::min(max, m_input.size());
  std::copy_n(m_input.begin(), n, dst);
  m_input.erase(m_input.begin(), m_input.begin() + static_cast<long>(n));
  return n;
}

bool CFakeSerialDevice::WriteByte(uint8_t b, int) {
  std::lock_guard lock(m_mutex);
  if (!m_open) {
    ++m_writesWhileClosed;
    return false;
  }
  if (m_failWrites) return false;
  m_written.push_back(b);
  return true;
}

bool CFakeSerialDevice::SetEventMask(uint32_t mask) {
  {
    std::lock_guard lock(m_mutex);
    if (m_failMask && mask != 0) return false;
    m_mask = mask;
    ++m_wakeSeq;
  }
  m_cv.notify_all();
  return true;
}

bool CFakeSerialDevice::WaitEvent(uint32_t& events) {
  std::unique_lock lock(m_mutex);
  events = 0;
  if (!m_open) return false;
  const uint64_t seq = m_wakeSeq;
  m_cv.wait(lock, [&] {
    return m_wakeSeq != seq || (m_pendingEvents & m_mask) || (!m_input.empty() && (m_mask & EV_RXCHAR));
  });
  if (!m_open) return false;
  if (m_pendingEvents & m_mask) {
    events = m_pendingEvents & m_mask;
    m_pendingEvents = 0;
  } else if (!m_input.empty() && (m_mask & EV_RXCHAR)) {
    events = EV_RXCHAR;
  }
  return true;
}

void CFakeSerialDevice::Wake() {
  {
    std::lock_guard lock(m_mutex);
    ++m_wakeSeq;
  }
  m_cv.notify_all();
}

size_t CFakeSerialDevice::PendingOutput() {
  std::lock_guard lock(m_mutex);
  return m_open ? m_pendingOutput : 0;
}

std::string CFakeSerialDevice::LastError() const { return "no such device"; }

void CFakeSerialDevice::Feed(const std::vector<uint8_t>& bytes) {
  {
    std::lock_guard lock(m_mutex);
    m_input.insert(m_input.end(), bytes.begin(), bytes.end());
  }
  m_cv.notify_all();
}

void CFakeSerialDevice::RaiseEvent(uint32_t events) {
  {
    std::lock_guard lock(m_mutex);
    m_pendingEvents |= events;
  }
  m_cv.notify_all();
}

std::vector<uint8_t> CFakeSerialDevice::TakeWritten() {
  std::lock_guard lock(m_mutex);
  return std::exchange(m_written, {});
}

std::vector<std::string> CFakeSerialDevice::OpenedPaths() const {
  std::lock_guard lock(m_mutex);
  return m_paths;
}

std::vector<uint32_t> CFakeSerialDevice::ConfiguredBauds() const {
  std::lock_guard lock(m_mutex);
  return m_bauds;
}

int CFakeSerialDevice::OpenCount() const {
  std::lock_guard lock(m_mutex);
  return m_openCount;
}

int CFakeSerialDevice::CloseCount() const {
  std::lock_guard lock(m_mutex);
  return m_closeCount;
}

int CFakeSerialDevice::WriteAttemptsWhileClosed() const {
  std::lock_guard lock(m_mutex);
  return m_writesWhileClosed;
}

uint32_t CFakeSerialDevice::EventMask() const {
  std::lock_guard lock(m_mutex);
  return m_mask;
}

void CFakeSerialDevice::FailNextOpens(int n) {
  std::lock_guard lock(m_mutex);
  m_failOpens = n;
}

void CFakeSerialDevice::FailWrites(bool fail) {
  std::lock_guard lock(m_mutex);
  m_failWrites = fail;
}

bool CFakeSerialDevice::WasDtrCleared() const {
  std::lock_guard lock(m_mutex);
  return m_dtrCleared;
}

void CFakeSerialDevice::SetPendingOutput(size_t bytes) {
  std::lock_guard lock(m_mutex);
  m_pendingOutput = bytes;
}

void CFakeSerialDevice::FailEventMask(bool fail) {
  std::lock_guard lock(m_mutex);
  m_failMask = fail;
}

int CFakeSerialDevice::ReadCalls() const {
  std::lock_guard lock(m_mutex);
  return m_readCalls;
}
