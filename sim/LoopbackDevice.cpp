#include "LoopbackDevice.h"

namespace sim {

CLoopbackDevice::CLoopbackDevice(std::unique_ptr<CHandsetModel> model, std::function<uint64_t()> clock)
    : m_model(std::move(model)), m_clock(std::move(clock)) {}

bool CLoopbackDevice::Open(const std::string& path) {
  std::lock_guard lock(m_mutex);
  if (path.empty()) {
    m_error = "There is no such serial port.";
    return false;
  }
  m_open = true;
  ++m_openCount;
  m_error.clear();
  return true;
}

bool CLoopbackDevice::IsOpen() const {
  std::lock_guard lock(m_mutex);
  return m_open;
}

bool CLoopbackDevice::Configure(const SerialSettings& settings) {
  std::lock_guard lock(m_mutex);
  if (!m_open) {
    m_error = "The port is not open.";
    return false;
  }
  m_settings = settings;
  m_configured = true;
  return true;
}

void CLoopbackDevice::ClearDtr() {}

void CLoopbackDevice::Close() {
  {
    std::lock_guard lock(m_mutex);
    m_open = false;
    ++m_wakeups;
  }
  m_cv.notify_all();
}

bool CLoopbackDevice::WriteByte(uint8_t b, int) {
  std::lock_guard lock(m_mutex);
  if (!m_open) return false;
  m_model->OnHostBytes(&b, 1, LineBaudLocked(), m_clock());
  return true;
}

bool CLoopbackDevice::SetEventMask(uint32_t mask) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_open) return false;
    m_mask = mask;
    ++m_wakeups;
  }
  m_cv.notify_all();
  return true;
}

bool CLoopbackDevice::WaitEvent(uint32_t& events) {
  events = 0;
  std::unique_lock lock(m_mutex);
  if (!m_open) return false;
  if (m_wakePending) {
    m_wakePending = false;
    return true;
  }
  const uint64_t seen = m_wakeups;
  m_cv.wait(lock, [&] { return m_wakeups != seen || m_wakePending; });
  m_wakePending = false;
  return m_open;
}

void CLoopbackDevice::Wake() {
  {
    std::lock_guard lock(m_mutex);
    m_wakePending = true;
  }
  m_cv.notify_all();
}

std::string CLoopbackDevice::LastError() const {
  std::lock_guard lock(m_mutex);
  return m_error;
}

std::optional<uint64_t> CLoopbackDevice::NextDueMs() const {
  std::lock_guard lock(m_mutex);
  return m_model->NextDueMs();
}

std::vector<Burst> CLoopbackDevice::TakeDue(uint64_t nowMs) {
  std::lock_guard lock(m_mutex);
  std::vector<Burst> out;
  const uint32_t baud = LineBaudLocked();
  for (Burst& b : m_model->TakeDue(nowMs)) {
    if (b.baud == baud) {
      out.push_back(std::move(b));
    } else {
      ++m_dropped;
    }
  }
  return out;
}

uint64_t CLoopbackDevice::DroppedBursts() const {
  std::lock_guard lock(m_mutex);
  return m_dropped;
}

uint32_t CLoopbackDevice::HostBaud() const {
  std::lock_guard lock(m_mutex);
  return m_configured ? m_settings.baud : 0;
}

uint32_t CLoopbackDevice::OpenCount() const {
  std::lock_guard lock(m_mutex);
  return m_openCount;
}

void CLoopbackDevice::WithModel(const std::function<void(CHandsetModel&)>& f) {
  std::lock_guard lock(m_mutex);
  f(*m_model);
}

uint32_t CLoopbackDevice::LineBaudLocked() const {
  if (!m_open || !m_configured) return 0;
  if (m_settings.byteSize != 8 || m_settings.parity != 0) return 0;  // the handset runs 8N1
  return m_settings.baud;
}

}  // namespace sim
