#pragma once
// The serial device of the product: a POSIX tty (a UART, a USB serial adapter, or a pty).
//
// Threads: the UI thread opens, configures, purges, clears DTR, writes and closes; the receive
// thread sets the event mask, waits, asks what waits and reads. m_ioMutex keeps the descriptor
// alive while the receive thread uses it: WaitEvent holds it during its poll, so Close first
// raises m_closing and writes the wake channel (a close does not end a poll on Linux), then
// takes it. WriteByte and Write run on the UI thread, the only one that closes, and need no lock.
// PendingOutput may come from any thread, also while the receive thread waits: it takes
// m_fdMutex, which Close holds only for the close itself, never the wait's lock.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ParmrkDecoder.h"
#include "platform/SerialDevice.h"
#include "platform/TtyLowLatency.h"

class CTtyDevice final : public CSerialDevice {
 public:
  CTtyDevice();
  ~CTtyDevice() override;
  CTtyDevice(const CTtyDevice&) = delete;
  CTtyDevice& operator=(const CTtyDevice&) = delete;

  bool Open(const std::string& path) override;
  bool IsOpen() const override;
  bool Configure(const SerialSettings& settings) override;
  void Purge() override;
  void ClearDtr() override;
  void Close() override;

  // Also counts a decoded byte not yet delivered and a lone FF held back by the decoder.
  // A tty has no error state that stops I/O, so there is nothing to clear; line errors wait
  // for WaitEvent.
  size_t BytesWaiting() override;
  // A byte received with a framing or parity error, and a break, are dropped as line noise and
  // traced, never reported as events: the frame they spoil fails its check.
  size_t Read(uint8_t* dst, size_t max) override;
  bool WriteByte(uint8_t b, int timeoutMs) override;
  size_t Write(const uint8_t* bytes, size_t count, int timeoutMs) override;

  // The mask is kept across Close and Open. False when the device is not open.
  bool SetEventMask(uint32_t mask) override;
  // A device that went away (hang-up, adapter pulled, I/O error) reports EV_ERR once whatever
  // the mask holds (short of an empty one), so that no waiter sleeps on a dead port; after
  // that only a wake ends the wait. EV_RXFLAG is never reported: there is no event character.
  bool WaitEvent(uint32_t& events) override;
  void Wake() override;

  // The driver's output queue, and at least what the line still owes at the set speed for the
  // bytes written, which an adapter's own FIFO hides from the driver. A pty has no line, but
  // a handset behind one cannot hear faster than its speed either.
  size_t PendingOutput() override;
  // The driver's output queue alone.
  size_t QueuedOutput() override;

  std::string LastError() const override;

 private:
  struct LineCounters {
    int overrun = 0;
    int bufOverrun = 0;
  };

  void SetLastError(std::string text);
  // The helpers below run with m_ioMutex held.
  void ResetReceiveState();
  void ApplyPurgeRequest();
  void MarkGone(int err);
  void Note(uint32_t events);
  void CheckLineCounters(int fd);
  size_t TakeReady(uint8_t* dst, size_t max);
  void DrainWake();
  void NoteWritten(size_t count);
  void ResetLineTime();

  std::atomic<int> m_fd{-1};
  int m_wakeFd = -1;  // eventfd, as long-lived as the object
  std::atomic<bool> m_closing{false};
  std::atomic<bool> m_purgeRequested{false};
  std::atomic<uint32_t> m_mask{0};
  std::atomic<uint32_t> m_pending{0};  // line events noticed, not yet reported
  tty::CLowLatency m_lowLatency;        // UI thread
  // When the line will have sent all written (steady clock, ns) at m_lineBaud; a baud of 0 (not
  // configured yet) means no estimate.
  std::atomic<int64_t> m_lineFreeNs{0};
  std::atomic<uint32_t> m_lineBaud{0};

  std::mutex m_fdMutex;  // the descriptor's life against PendingOutput

  std::mutex m_ioMutex;  // the descriptor's life against the receive thread; the state below
  CParmrkDecoder m_decoder;
  std::vector<uint8_t> m_ready;  // decoded bytes that did not fit the last Read
  bool m_gone = false;
  bool m_goneReported = false;
  bool m_countersKnown = false;  // TIOCGICOUNT works (a UART); not on a pty
  LineCounters m_counters;

  mutable std::mutex m_errorMutex;
  std::string m_lastError;
};
