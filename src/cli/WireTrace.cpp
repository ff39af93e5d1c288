#include "WireTrace.h"

#include <cstdio>

namespace {
constexpr size_t kBytesPerLine = 32;
constexpr uint64_t kBurstGapMs = 2;  // a longer gap starts a new line
}  // namespace

std::string HexBytes(const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  if (count == 0) return out;
  out.resize(count * 3 - 1, ' ');
  for (size_t i = 0; i < count; ++i) {
    out[i * 3] = kDigits[bytes[i] >> 4];
    out[i * 3 + 1] = kDigits[bytes[i] & 0x0F];
  }
  return out;
}

CWireTraceDevice::CWireTraceDevice(std::unique_ptr<CSerialDevice> inner)
    : m_inner(std::move(inner)), m_start(std::chrono::steady_clock::now()) {}

CWireTraceDevice::~CWireTraceDevice() {
  std::lock_guard lock(m_mutex);
  Flush();
}

bool CWireTraceDevice::OpenTrace(const std::string& path) {
  std::lock_guard lock(m_mutex);
  m_file.open(path, std::ios::out | std::ios::trunc);
  return m_file.is_open();
}

uint64_t CWireTraceDevice::NowMs() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start).count());
}

bool CWireTraceDevice::Open(const std::string& path) {
  const bool ok = m_inner->Open(path);
  std::lock_guard lock(m_mutex);
  Flush();
  Line(ok ? "open " + path : "open " + path + " failed: " + m_inner->LastError());
  return ok;
}

bool CWireTraceDevice::Configure(const SerialSettings& settings) {
  const bool ok = m_inner->Configure(settings);
  std::lock_guard lock(m_mutex);
  Flush();
  if (ok) Line(std::to_string(settings.baud) + " bit/s");
  return ok;
}

void CWireTraceDevice::Close() {
  m_inner->Close();
  std::lock_guard lock(m_mutex);
  Flush();
  Line("close");
}

size_t CWireTraceDevice::Read(uint8_t* dst, size_t max) {
  const size_t n = m_inner->Read(dst, max);
  if (n) {
    std::lock_guard lock(m_mutex);
    Record(Dir::Rx, dst, n);
  }
  return n;
}

bool CWireTraceDevice::WriteByte(uint8_t b, int timeoutMs) {
  const bool ok = m_inner->WriteByte(b, timeoutMs);
  if (ok) {
    std::lock_guard lock(m_mutex);
    Record(Dir::Tx, &b, 1);
  }
  return ok;
}

size_t CWireTraceDevice::Write(const uint8_t* bytes, size_t count, int timeoutMs) {
  const size_t n = m_inner->Write(bytes, count, timeoutMs);
  if (n) {
    std::lock_guard lock(m_mutex);
    Record(Dir::Tx, bytes, n);
  }
  return n;
}

void CWireTraceDevice::Record(Dir dir, const uint8_t* bytes, size_t count) {
  const uint64_t now = NowMs();
  if (dir != m_dir || now - m_lastMs > kBurstGapMs) {
    Flush();
    // The file is flushed once a burst, not once a line: a block write makes 130 lines.
    if (m_file.is_open()) m_file.flush();
  }
  if (m_pending.empty()) {
    m_dir = dir;
    m_lineMs = now;
  }
  m_lastMs = now;
  for (size_t i = 0; i < count; ++i) {
    m_pending.push_back(bytes[i]);
    if (m_pending.size() == kBytesPerLine) {
      Flush();
      m_dir = dir;
      m_lineMs = now;
    }
  }
}

void CWireTraceDevice::Flush() {
  if (m_pending.empty() || !m_file.is_open()) {
    m_pending.clear();
    return;
  }
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%8.3f %s ", static_cast<double>(m_lineMs) / 1000.0,
                m_dir == Dir::Tx ? "TX" : "RX");
  m_file << stamp << HexBytes(m_pending.data(), m_pending.size()) << '\n';
  m_pending.clear();
}

void CWireTraceDevice::Line(const std::string& text) {
  if (!m_file.is_open()) return;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%8.3f -- ", static_cast<double>(NowMs()) / 1000.0);
  m_file << stamp << text << '\n' << std::flush;
}
