#pragma once
// A serial device in front of another that writes every byte sent and received to a file, as
// hex lines with the time since the trace began: "   0.012 TX 7F 00 78 F0 7E". Bytes going one
// way in one burst share a line; speed changes get a line of their own.
//
// Threads: writes come from the window's thread and reads from the receive thread; the file
// and the pending line are guarded by one mutex.
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"

class CWireTraceDevice final : public CSerialDevice {
 public:
  explicit CWireTraceDevice(std::unique_ptr<CSerialDevice> inner);
  ~CWireTraceDevice() override;
  CWireTraceDevice(const CWireTraceDevice&) = delete;
  CWireTraceDevice& operator=(const CWireTraceDevice&) = delete;

  // False when the trace file can't be created.
  bool OpenTrace(const std::string& path);

  bool Open(const std::string& path) override;
  bool IsOpen() const override { return m_inner->IsOpen(); }
  bool Configure(const SerialSettings& settings) override;
  void Purge() override { m_inner->Purge(); }
  void ClearDtr() override { m_inner->ClearDtr(); }
  void Close() override;
  size_t BytesWaiting() override { return m_inner->BytesWaiting(); }
  size_t Read(uint8_t* dst, size_t max) override;
  bool WriteByte(uint8_t b, int timeoutMs) override;
  size_t Write(const uint8_t* bytes, size_t count, int timeoutMs) override;
  bool SetEventMask(uint32_t mask) override { return m_inner->SetEventMask(mask); }
  bool WaitEvent(uint32_t& events) override { return m_inner->WaitEvent(events); }
  void Wake() override { m_inner->Wake(); }
  size_t PendingOutput() override { return m_inner->PendingOutput(); }
  size_t QueuedOutput() override { return m_inner->QueuedOutput(); }
  std::string LastError() const override { return m_inner->LastError(); }

 private:
  enum class Dir { None, Tx, Rx };
  void Record(Dir dir, const uint8_t* bytes, size_t count);  // m_mutex held
  void Flush();                                              // m_mutex held
  void Line(const std::string& text);                        // m_mutex held
  uint64_t NowMs() const;

  std::unique_ptr<CSerialDevice> m_inner;
  const std::chrono::steady_clock::time_point m_start;
  std::mutex m_mutex;
  std::ofstream m_file;
  Dir m_dir = Dir::None;
  uint64_t m_lineMs = 0;
  uint64_t m_lastMs = 0;
  std::vector<uint8_t> m_pending;
};

// "7F 00 78" for the bytes.
std::string HexBytes(const uint8_t* bytes, size_t count);
