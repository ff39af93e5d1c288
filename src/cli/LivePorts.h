#pragma once
// What a station or a watch publishes of its ports while it runs (the live state in the record
// it writes), from the status it keeps of each handset anyway. Nothing is published without a
// record (--no-history) or for commands that write none.
#include <chrono>
#include <memory>

#include "CliOptions.h"
#include "LiveState.h"
#include "StationView.h"

// The port's state as the record keeps it.
LivePort LivePortOf(const HandsetStatus& status, bool present);

class CLivePorts {
 public:
  explicit CLivePorts(const CliOptions& options);
  // The handset's status now; written when its port's second is up (Due says when).
  void Update(const HandsetStatus& status, bool present);
  bool Active() const { return m_publisher != nullptr; }
  // When the next write is due (the heartbeat at the latest).
  std::chrono::steady_clock::time_point Due() const;

 private:
  std::unique_ptr<CLiveStatePublisher> m_publisher;
};
