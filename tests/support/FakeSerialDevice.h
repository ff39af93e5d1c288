#pragma once
// An in-memory serial device: records every byte written, serves queued input, and has a
// WaitEvent that blocks like a port's until input, an event, Wake, a mask change or Close.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"

class CFakeSerialDevice : public CSerialDevice {
 public:

  bool Open(const std::string& path) override;
  bool IsOpen() const override;
  bool Configure(const SerialSettings& settings) override;
  void Purge() override;
  void ClearDtr() override;
  void Close() override;
  size_t BytesWaiting() override;
  size_t Read(uint8_t* dst, size_t max) override;
  bool WriteByte(uint8_t b, int timeoutMs) override;
  bool SetEventMask(uint32_t mask) override;
  bool WaitEvent(uint32_t& events) override;
  void Wake() override;
  size_t PendingOutput() override;
  std::string LastError() const override;

  // Test side.
  void Feed(const std::vector<uint8_t>& bytes);
  void RaiseEvent(uint32_t events);
  std::vector<uint8_t> TakeWritten();
  std::vector<std::string> OpenedPaths() const;
  std::vector<uint32_t> ConfiguredBauds() const;
  int OpenCount() const;
  int CloseCount() const;
  int WriteAttemptsWhileClosed() const;
  uint32_t EventMask() const;
  void FailNextOpens(int n);
  void FailWrites(bool fail);
  void FailEventMask(bool fail);
  // Reads done since construction, to see that a held thread does not read.
  int ReadCalls() const;
  bool WasDtrCleared() const;
  // What PendingOutput reports from now on, as if bytes written were still on their way.
  void SetPendingOutput(size_t bytes);

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_open = false;
  bool m_failWrites = false;
  bool m_failMask = false;
  int m_readCalls = 0;
  bool m_dtrCleared = false;
  size_t m_pendingOutput = 0;
  int m_failOpens = 0;
  int m_openCount = 0;
  int m_closeCount = 0;
  int m_writesWhileClosed = 0;
  uint32_t m_mask = 0;
  uint32_t m_pendingEvents = 0;
  uint64_t m_wakeSeq = 0;
  std::deque<uint8_t> m_input;
  std::vector<uint8_t> m_written;
  std::vector<std::string> m_paths;
  std::vector<uint32_t> m_bauds;
};
