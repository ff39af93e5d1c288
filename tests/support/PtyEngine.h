#pragma once
// The engine in real time with its own receive thread, against the simulated handset behind a
// pty served by a thread of its own: a technician's run, minus the cable.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PtyHandset.h"
#include "TarviselDlg.h"
#include "platform/RealTimeWindow.h"
#include "support/RecordingEvents.h"

class CPtyEngine {
 public:
  CPtyEngine() = default;
  ~CPtyEngine();
  CPtyEngine(const CPtyEngine&) = delete;
  CPtyEngine& operator=(const CPtyEngine&) = delete;

  // Serves the scenario behind a pty and starts the engine on it; false with why() set when
  // the pty could not be made. Message boxes are answered Yes or OK and recorded.
  bool Start(const std::string& scenario, size_t flashSize, std::string& why);
  // An image in a temporary folder, opened through the Open button.
  void OpenImage(const std::vector<uint8_t>& bytes);
  void Select(int id, int index);
  void Click(int id);
  // Runs the window until done() or the real-time bound; a watchdog ends a loop that waits.
  bool RunUntil(const std::function<bool()>& done, std::chrono::seconds bound);
  bool Shown(const std::string& text) const;
  // Ends the engine and the handset; the handset's model may be read after it.
  void Stop();
  sim::CHandsetModel& Model() { return m_handset->Model(); }
  // The handset's flash as it was when served.
  const std::vector<uint8_t>& FlashBefore() const { return m_before; }

  CRealTimeWindow win;
  CRecordingEvents events;
  std::unique_ptr<CTarviselDlg> dlg;

 private:
  std::unique_ptr<sim::CPtyHandset> m_handset;
  std::thread m_thread;
  std::string m_dir;
  std::vector<std::string> m_boxes;
  std::vector<uint8_t> m_before;
};
