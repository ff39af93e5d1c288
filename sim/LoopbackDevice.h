#pragma once
// A serial device whose far end is a CHandsetModel in the same process, for tests that run the
// link in virtual time. What the host writes reaches the model at once, with the host's speed
// and the time from the clock given at construction. The model's replies are not read through
// the device: the harness takes them with NextDueMs() / TakeDue() and feeds them to the link's
// parser itself, so the test decides when "later" is. The port itself stays idle: BytesWaiting
// is 0 and WaitEvent blocks until Wake, a mask change or Close.
#include <condition_variable>
#include <cstdint>
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
  void Purge() override {}
  void ClearDtr() override;
  void Close() override;
  size_t BytesWaiting() override { return 0; }
  size_t Read(uint8_t*, size_t) override { return 0; }
  bool WriteByte(uint8_t b, int timeoutMs) override;
  bool SetEventMask(uint32_t mask) override;
  bool WaitEvent(uint32_t& events) override;
  void Wake() override;
  std::string LastError() const override;

  // --- the harness's side ---
  std::optional<uint64_t> NextDueMs() const;
  // Bursts due by nowMs. A burst sent at a speed the port is not set to (or while it is
  // closed) arrives as garbage on a real line; it is dropped here and counted.
  std::vector<Burst> TakeDue(uint64_t nowMs);
  uint64_t DroppedBursts() const;
  // The port's speed as the host last configured it; 0 before that.
  uint32_t HostBaud() const;
  uint32_t OpenCount() const;
  // Runs f on the model under the device's lock.
  void WithModel(const std::function<void(CHandsetModel&)>& f);

 private:
  // Speed the model hears: 0 when the port is closed or not set to 8N1.
  uint32_t LineBaudLocked() const;

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
  std::string m_error;
};

}  // namespace sim
