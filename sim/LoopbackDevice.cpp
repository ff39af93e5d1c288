#include "LoopbackDevice.h"

#include <algorithm>

#include "HandsetWire.h"

namespace sim {

namespace {

constexpr uint64_t kNsPerMs = 1000000;

uint64_t CeilMs(uint64_t ns) { return (ns + kNsPerMs - 1) / kNsPerMs; }

// Ten bit times (start, 8 data, stop), rounded up so that a byte is never early.
uint64_t ByteNs(uint32_t baud) { return (uint64_t{10} * 1000000000 + baud - 1) / baud; }

}  // namespace

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
  const bool sameLine = m_configured && settings.baud == m_settings.baud &&
                        settings.byteSize == m_settings.byteSize && settings.parity == m_settings.parity &&
                        settings.stopBits == m_settings.stopBits;
  if (!sameLine) LoseInFlightLocked(m_clock());
  m_settings = settings;
  m_configured = true;
  return true;
}

void CLoopbackDevice::Purge() {
  std::lock_guard lock(m_mutex);
  LoseInFlightLocked(m_clock());
}

void CLoopbackDevice::ClearDtr() {}

void CLoopbackDevice::Close() {
  {
    std::lock_guard lock(m_mutex);
    if (m_open) LoseInFlightLocked(m_clock());
    m_open = false;
    ++m_wakeups;
  }
  m_cv.notify_all();
}

bool CLoopbackDevice::WriteByte(uint8_t b, int) {
  std::lock_guard lock(m_mutex);
  if (!m_open) return false;
  WriteLocked(&b, 1);
  return true;
}

size_t CLoopbackDevice::Write(const uint8_t* bytes, size_t count, int) {
  std::lock_guard lock(m_mutex);
  if (!m_open) return 0;
  WriteLocked(bytes, count);
  return count;
}

void CLoopbackDevice::WriteLocked(const uint8_t* bytes, size_t count) {
  const uint64_t nowMs = m_clock();
  DeliverLocked(nowMs);
  const uint32_t heard = LineBaudLocked();
  if (!m_configured || m_settings.baud == 0) {
    m_model->OnHostBytes(bytes, count, heard, nowMs);  // no line to time: noise at once
    return;
  }
  const uint64_t byteNs = ByteNs(m_settings.baud);
  uint64_t at = std::max(nowMs * kNsPerMs, m_lineFreeNs);
  for (size_t i = 0; i < count; ++i) {
    at += byteNs;
    m_line.push_back(InFlight{at, bytes[i], heard});
  }
  m_lineFreeNs = at;
}

void CLoopbackDevice::DeliverLocked(uint64_t nowMs) {
  const uint64_t limit = nowMs * kNsPerMs;
  std::vector<uint8_t>& group = m_group;
  while (!m_line.empty() && m_line.front().arrivesNs <= limit) {
    // The model is told the time in ms: bytes in by the same ms go together.
    const uint64_t ms = CeilMs(m_line.front().arrivesNs);
    const uint32_t baud = m_line.front().baud;
    group.clear();
    while (!m_line.empty() && m_line.front().arrivesNs <= limit && CeilMs(m_line.front().arrivesNs) == ms &&
           m_line.front().baud == baud) {
      group.push_back(m_line.front().byte);
      m_line.pop_front();
    }
    m_model->OnHostBytes(group.data(), group.size(), baud, ms);
  }
}

void CLoopbackDevice::LoseInFlightLocked(uint64_t nowMs) {
  DeliverLocked(nowMs);
  const uint64_t nowNs = nowMs * kNsPerMs;
  if (!m_line.empty() && m_configured) {
    const InFlight& first = m_line.front();
    const uint64_t startedNs = first.arrivesNs - ByteNs(m_settings.baud);
    if (startedNs < nowNs) m_model->OnHostBytes(&first.byte, 1, 0, nowMs);  // cut off mid-byte
  }
  m_lost += m_line.size();
  m_line.clear();
  m_lineFreeNs = std::min(m_lineFreeNs, nowNs);
}

size_t CLoopbackDevice::PendingOutput() {
  std::lock_guard lock(m_mutex);
  DeliverLocked(m_clock());
  // What a tty device says: the bytes the line still owes at its speed, whatever the adapter
  // took from the port's queue.
  return m_line.size();
}

size_t CLoopbackDevice::QueuedOutput() {
  std::lock_guard lock(m_mutex);
  DeliverLocked(m_clock());
  // A USB adapter takes what fits its buffer at once: the port's queue looks empty sooner.
  const size_t buffered = m_model->Scenario().hostBuffer;
  return m_line.size() > buffered ? m_line.size() - buffered : 0;
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
  std::optional<uint64_t> due = m_model->NextDueMs();
  // Only a flag can end a frame and make the handset act; the bytes before it go with it. A
  // noisy cable makes and unmakes flags: look at the bytes as they will arrive.
  const CBitErrors& cable = m_model->HostLineNoise();
  auto at = m_line.end();
  if (!cable.On()) {
    at = std::find_if(m_line.begin(), m_line.end(), [](const InFlight& f) { return f.byte == kFlag; });
  } else {
    CBitErrors noise = cable;
    at = std::find_if(m_line.begin(), m_line.end(), [&](const InFlight& f) { return (f.byte ^ noise.NextMask()) == kFlag; });
  }
  if (at != m_line.end()) {
    const uint64_t ms = CeilMs(at->arrivesNs);
    if (!due || ms < *due) due = ms;
  }
  return due;
}

std::vector<Burst> CLoopbackDevice::TakeDue(uint64_t nowMs) {
  std::lock_guard lock(m_mutex);
  DeliverLocked(nowMs);
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

uint64_t CLoopbackDevice::LostHostBytes() const {
  std::lock_guard lock(m_mutex);
  return m_lost;
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
  DeliverLocked(m_clock());
  f(*m_model);
}

uint32_t CLoopbackDevice::LineBaudLocked() const {
  if (!m_open || !m_configured) return 0;
  if (m_settings.byteSize != 8 || m_settings.parity != 0) return 0;  // the handset runs 8N1
  return m_settings.baud;
}

}  // namespace sim
