#pragma once
// A serial device whose far end is a CHandsetModel in the same process, for tests that run the
// link in virtual time (the clock given at construction, in ms).
//
// Host to handset, the line is serial and timed: a write goes on the line when the one before
// it has left (at once when the line is idle) and each byte takes 10 bit times at the port's
// speed; the model gets the bytes at the times they have crossed, so a frame is handled when
// its last byte is in and no reply can come before that. Bytes still on the line when the
// host purges, closes or changes the speed never arrive; the one crossing at that moment
// reaches the handset garbled.
//
// Handset to host, the model's replies are not read through the device: the harness takes
// them with NextDueMs() / TakeDue() and feeds them to the link's parser itself, so the test
// decides when "later" is. The port itself stays idle: BytesWaiting is 0 and WaitEvent blocks
// until Wake, a mask change or Close.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "HandsetModel.h"
#include "platform/SerialDevice.h"

namespace sim {

class CLoopbackDevice : public CSerialDevice {
 public:
  CLoopbackDevice(std::unique_ptr<CHandsetModel> model, std::function<uint64_t()> clock);

  bool Open(const std::string& path) override;
  bool IsOpen() const override;
  bool Configure(const SerialSettings& settings) override;
  void Purge() override;
  void ClearDtr() override;
  void Close() override;
  size_t BytesWaiting() override { return 0; }
  size_t Read(uint8_t*, size_t) override { return 0; }
  bool WriteByte(uint8_t b, int timeoutMs) override;
  size_t Write(const uint8_t* bytes, size_t count, int timeoutMs) override;
  bool SetEventMask(uint32_t mask) override;
  bool WaitEvent(uint32_t& events) override;
  void Wake() override;
  // Bytes written that have not crossed the line by the clock's time, less what a USB
  // adapter's buffer took from the port (host-buffer in the scenario).
  size_t PendingOutput() override;
  // The port's queue alone: with a host-side adapter (host-buffer) it empties before the bytes cross.
  size_t QueuedOutput() override;
  std::string LastError() const override;

  // --- the harness's side ---
  // The next burst due, or the next time a flag (7E, which ends every frame) crosses the
  // line, whichever comes first: the harness must call TakeDue again then.
  std::optional<uint64_t> NextDueMs() const;
  // Bursts due by nowMs, the host's bytes that crossed by then handed to the model first. A
  // burst sent at a speed the port is not set to (or while it is closed) arrives as garbage
  // on a real line; it is dropped here and counted.
  std::vector<Burst> TakeDue(uint64_t nowMs);
  uint64_t DroppedBursts() const;
  // Host bytes that never crossed: purged, closed or re-speeded while on the line.
  uint64_t LostHostBytes() const;
  // The port's speed as the host last configured it; 0 before that.
  uint32_t HostBaud() const;
  uint32_t OpenCount() const;
  // Runs f on the model under the device's lock, the bytes that crossed by now handed over
  // (a power cycle, say: bytes still on the line reach the handset as it has booted).
  void WithModel(const std::function<void(CHandsetModel&)>& f);

 private:
  struct InFlight {
    uint64_t arrivesNs = 0;  // when its stop bit is through
    uint8_t byte = 0;
    uint32_t baud = 0;  // as the model hears it
  };
  // Speed the model hears: 0 when the port is closed or not set to 8N1.
  uint32_t LineBaudLocked() const;
  void WriteLocked(const uint8_t* bytes, size_t count);
  // Hands the model the bytes that have crossed by nowMs, each group at its own time.
  void DeliverLocked(uint64_t nowMs);
  void LoseInFlightLocked(uint64_t nowMs);

  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::unique_ptr<CHandsetModel> m_model;
  std::function<uint64_t()> m_clock;
  bool m_open = false;
  SerialSettings m_settings;
  bool m_configured = false;
  uint32_t m_mask = 0;
  uint64_t m_wakeups = 0;  // bumped by Wake, mask changes and Close
  bool m_wakePending = false;
  uint32_t m_openCount = 0;
  uint64_t m_dropped = 0;
  std::deque<InFlight> m_line;  // in arrival order
  std::vector<uint8_t> m_group;  // bytes handed to the model together (kept: one per delivery)
  uint64_t m_lineFreeNs = 0;
  uint64_t m_lost = 0;
  std::string m_error;
};

}  // namespace sim
