#pragma once
// One run of the main window: its Qt services, its widgets and the engine, in the order they
// must be built and torn down (the engine first, then the widgets, then the services), and the
// record of the downloads it runs.
#include <functional>
#include <memory>
#include <vector>

#include "DeviceFacts.h"
#include "DownloadRecorder.h"
#include "PortList.h"
#include "QtWindowServices.h"
#include "TarviselDlg.h"
#include "TarviselWindow.h"
#include "WindowRecorder.h"

class CTarviselSession {
 public:
  // The serial ports the Port list offers besides COM1 and COM2 (`tarvisel-cli ports`'s).
  using PortLister = std::function<std::vector<SerialPortEntry>(CDeviceFacts&)>;
  static std::vector<SerialPortEntry> SystemPorts(CDeviceFacts& facts);

  explicit CTarviselSession(PortLister ports = SystemPorts);
  ~CTarviselSession();
  CTarviselSession(const CTarviselSession&) = delete;
  CTarviselSession& operator=(const CTarviselSession&) = delete;

  // Shows the window and initialises it: the stored settings, the link, the caption.
  void Start();
  bool IsClosed() const { return m_closed; }
  void SetOnClosed(std::function<void()> onClosed) { m_onClosed = std::move(onClosed); }

  CQtWindowServices& Services() { return m_services; }
  CTarviselWindow& Window() { return *m_window; }
  CTarviselDlg& Dlg() { return *m_dlg; }

 private:
  CQtWindowServices m_services;
  CUdevFacts m_facts;
  CDownloadRecorder m_recorder;
  CWindowRecorder m_recording;  // the engine's events sink: outlives the engine
  std::unique_ptr<CTarviselWindow> m_window;
  std::unique_ptr<CTarviselDlg> m_dlg;
  std::function<void()> m_onClosed;
  std::vector<PortChoice> m_portChoices;
  bool m_closed = false;
};
