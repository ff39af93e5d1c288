#pragma once
// The main window on virtual time against the simulated handset in the same process. The
// handset's replies reach the link's frame assembly when their virtual time comes, one burst
// per read, as the receive thread hands them on.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LoopbackDevice.h"
#include "TarviselDlg.h"
#include "support/RecordingEvents.h"
#include "support/VirtualWindow.h"
#include "support/WireRecorder.h"

class CEngineHarness {
 public:
  static constexpr uint32_t kDeliveryTimer = 0x7A5E;  // ours, never one of the window's

  explicit CEngineHarness(const std::string& scenario, size_t flashSize = size_t{16} << 20);
  ~CEngineHarness();
  CEngineHarness(const CEngineHarness&) = delete;
  CEngineHarness& operator=(const CEngineHarness&) = delete;

  // The window's initialisation: settings read, link started.
  void Init();
  void Click(int id);
  void Select(int id, int index);
  // Opens an image through the Open button and a scripted file dialog.
  void OpenImage(const std::string& path);
  // Runs until pred holds or maxMs of virtual time passed; false on time-out.
  bool RunUntil(const std::function<bool()>& pred, uint64_t maxMs);
  bool RunFor(uint64_t ms);
  // True once a message box with this text was shown.
  bool BoxShown(const std::string& text) const;

  // A temporary image: `size` bytes of pattern with the trailer at its end.
  std::string MakeImage(uint32_t size, uint32_t startAddr, uint32_t version, uint8_t pattern = 1);
  std::string TempPath(const std::string& name) const;
  std::vector<uint8_t> ReadFile(const std::string& path) const;

  // The wire writes as "time baud hex" lines, and the model's view.
  std::vector<WireWrite> Writes() const { return m_wire->Writes(); }
  std::vector<sim::FrameRecord> Frames();
  std::vector<uint8_t> Flash(uint32_t from, uint32_t count);
  std::string LogText() { return win.Controls().LogPlainText(IDC_LOG); }
  std::vector<RichTextRun> LogRuns() { return win.Controls().LogRuns(IDC_LOG); }

  CVirtualWindow win;
  CRecordingEvents events;
  std::unique_ptr<CTarviselDlg> dlg;
  sim::CLoopbackDevice* loop = nullptr;

 private:
  void OnMessage(const WindowMessage& msg);
  void Deliver();
  void Reschedule();

  CWireRecorder* m_wire = nullptr;
  std::string m_dir;
  bool m_hangupPosted = false;
  bool m_timerArmed = false;
};
