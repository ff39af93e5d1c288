#pragma once
// The window on virtual time against the in-process handset, made for many short runs: what the
// test harness (support/EngineHarness.h) does, without a folder, a settings file or environment
// changes of its own per run, without the window's journal, and with the settings read but never
// written (a disk's fsync would be most of a run's time). The process's settings file and ports
// are set once by the caller (CRunner).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "LoopbackDevice.h"
#include "TarviselDlg.h"
#include "support/RecordingEvents.h"
#include "support/VirtualWindow.h"

namespace explore {

class CExploreHarness {
 public:
  static constexpr uint32_t kDeliveryTimer = 0x7A5E;  // ours, never one of the window's

  CExploreHarness(const sim::CScenario& scenario, size_t flashSize);
  ~CExploreHarness();
  CExploreHarness(const CExploreHarness&) = delete;
  CExploreHarness& operator=(const CExploreHarness&) = delete;

  void Init();
  void Click(int id);
  void Select(int id, int index);
  bool BoxShown(const std::string& text) const;

  CVirtualWindow win;
  CRecordingEvents events;
  std::unique_ptr<CTarviselDlg> dlg;
  sim::CLoopbackDevice* loop = nullptr;

 private:
  void OnMessage(const WindowMessage& msg);
  void Deliver();
  void DeliverUntil(uint64_t untilMs);
  void Reschedule();

  bool m_hangupPosted = false;
  bool m_timerArmed = false;
};

}  // namespace explore
