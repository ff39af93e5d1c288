// The port half of the link: open, configure, close, speed changes, byte I/O and log forwarding.
#include <algorithm>
#include <cassert>
#include <chrono>
#include <thread>

#include "Comm/LinkFlags.h"
#include "Comm/bsscomm.h"
#include "platform/PortNames.h"
#include "platform/Trace.h"
#include "platform/Translate.h"

CBssComm::CBssComm(std::unique_ptr<CSerialDevice> device) : m_device(std::move(device)) {
  Reset();
  SetParams(1, 57600, 8, 0, 0);
}

CBssComm::~CBssComm() { ReleaseComm(); }

void CBssComm::Reset() {
  m_nRxCount = 0;
  m_bRxHunting = false;
  g_bCommOpen = false;
}

void CBssComm::Pause(unsigned ms) {
  if (m_pause) {
    m_pause(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

bool CBssComm::InitComm(CMessageTarget* owner, CQTextQ* textQ) {
  m_pOwner = owner;
  m_pTextQ = textQ;
  m_bEventsReady = true;
  return true;
}

void CBssComm::SetParams(uint8_t port, uint32_t baud, uint8_t byteSize, uint8_t stopBits,
                         uint8_t parity) {
  m_nPort = port;
  m_dwBaud = baud;
  m_nByteSize = byteSize;
  m_nStopBits = stopBits;
  m_nParity = parity;
}

void CBssComm::SetPort(uint8_t port) {
  if (port != m_nPort) m_nPort = port;
}

bool CBssComm::Open() {
  assert(m_pOwner && m_pTextQ);
  Reset();
  m_strOpenError.clear();
  if (m_device->IsOpen()) m_device->Close();  // never leak a handle an earlier Open left
  const std::string path = m_strDevicePath.empty() ? PortDevicePath(m_nPort) : m_strDevicePath;
  const std::string name = m_strDevicePath.empty() ? PortDisplayName(m_nPort) : m_strDevicePath;
  if (!m_device->Open(path)) {
    trace::Write("Failt to open Comm\n");
    m_strOpenError = name + ": " + m_device->LastError();
    trace::Printf("%s\n", m_strOpenError.c_str());
    return false;
  }
  m_device->SetEventMask(EV_RXCHAR);
  m_device->Purge();
  if (!Configure()) {
    g_bCommOpen = false;
    m_strOpenError = name + TrFormat(": the port refused its settings (%lu bit/s, 8N1)",
                                     static_cast<unsigned long>(m_dwBaud));
    m_device->Close();
    return false;
  }
  Pause(kSettleMs);
  g_bCommOpen = true;
  return true;
}

bool CBssComm::Configure() {
  SerialSettings s;
  s.baud = m_dwBaud;
  s.byteSize = m_nByteSize;
  s.parity = m_nParity;
  s.stopBits = m_nStopBits;
  return m_device->Configure(s);
}

bool CBssComm::Close() {
  if (!g_bCommOpen) return false;
  g_bCommOpen = false;
  m_device->SetEventMask(0);  // releases a receive thread waiting for an event
  m_device->ClearDtr();
  m_device->Purge();
  m_device->Close();
  return true;
}

bool CBssComm::ReleaseComm() {
  Close();
  m_bEventsReady = false;
  return true;
}

void CBssComm::ChangeBaud(uint32_t baud) {
  if (baud == m_dwBaud) return;
  Close();
  Pause(100);
  SetParams(m_nPort, baud, 8, 0, 0);
  Open();
  Pause(500);
}

void CBssComm::ToggleSpeed() {
  m_bCrc30Mode = m_bCrc30Mode ? 0 : 1;
  ChangeBaud(m_bCrc30Mode == 1 ? 57600 : 115200);
}

size_t CBssComm::ReadComm(uint8_t* dst, size_t max) {
  size_t waiting = m_device->BytesWaiting();
  size_t n = std::min(max, waiting);
  if (n == 0) return 0;
  size_t got = m_device->Read(dst, n);
  if (got == 0 && !m_device->IsOpen()) trace::Write("READ_Error : ReadFile() in COMM\n");
  return got;
}

bool CBssComm::WriteCommByte(uint8_t b) {
  if (!g_bCommOpen) return false;
  ++m_nTxHanded;
  if (m_device->WriteByte(b, kWriteTimeoutMs)) return true;
  trace::Write("WRITE_Error : WriteFile() in COMM\n");
  return false;
}

bool CBssComm::WriteComm(const uint8_t* bytes, size_t count) {
  bool all = true;
  size_t done = 0;
  while (done < count) {
    if (!g_bCommOpen) return false;
    const size_t chunk = std::min(kWriteChunk, count - done);
    m_nTxHanded += chunk;
    const size_t wrote = m_device->Write(bytes + done, chunk, kWriteTimeoutMs);
    done += wrote;
    if (wrote < chunk) {
      trace::Write("WRITE_Error : WriteFile() in COMM\n");
      ++done;  // lost, as a single byte that failed would be
      m_nTxHanded -= chunk - (wrote + 1);  // the rest are counted again with the next piece
      all = false;
    }
  }
  return all;
}

bool CBssComm::SetCommMask(uint32_t mask) { return m_device->SetEventMask(mask); }

bool CBssComm::WaitCommEvent(uint32_t& events) { return m_device->WaitEvent(events); }

void CBssComm::WakeReceiver() { m_device->Wake(); }

void CBssComm::QueueText(int32_t kind, const std::string& text) {
  if (text.empty()) return;
  assert(m_pOwner && m_pTextQ);
  if (!m_pTextQ || !m_pTextQ->Put(kind, text)) return;
  if (m_pOwner) m_pOwner->PostMessage(WM_LOG_TEXT, 0, 0);
}

void CBssComm::LogText(const std::string& text) { QueueText(4, text); }

void CBssComm::LogError(const std::string& text) { QueueText(3, text); }
