// The main window: construction, message dispatch and the data exchange with the controls.
#include "TarviselDlg.h"

#include <cstdlib>

#include "Comm/LinkFlags.h"

namespace {
const std::vector<std::string> kPortItems = {"COM1", "COM2"};
const std::vector<std::string> kSpeedItems = {"57600", "115200"};
const std::vector<std::string> kTypeItems = {"NORMAL", "EMERGENCY", "FONT", "CHANGE(EMERGENCY)",
                                             "CHANGE(NORMAL)"};
}  // namespace

CWaitCursorCapture::CWaitCursorCapture(CWindowServices& services) : m_services(services) {
  m_services.BeginWaitCursor();
  m_services.SetCapture();
}

CWaitCursorCapture::~CWaitCursorCapture() {
  m_services.ReleaseCapture();
  m_services.EndWaitCursor();
}

CTarviselDlg::CTarviselDlg(CWindowServices& services, CEngineEvents* events)
    : CTarviselDlg(services, events, nullptr) {}

CTarviselDlg::CTarviselDlg(CWindowServices& services, CEngineEvents* events, std::unique_ptr<CSerialDevice> device)
    : m_services(services),
      m_events(events ? *events : m_noEvents),
      m_dloadFile(&services),
      m_comm(device ? CBssComm(std::move(device)) : CBssComm()) {
  g_bRxRun = false;
  m_comm.SetPause([this](unsigned ms) { m_services.Pause(ms); });
  CDialogControls& c = m_services.Controls();
  c.SetComboItems(IDC_PORT, kPortItems);
  c.SetComboItems(IDC_SPEED, kSpeedItems);
  c.SetComboItems(IDC_TYPE, kTypeItems);
  m_services.SetHandler([this](const WindowMessage& msg) { Dispatch(msg); });
}

CTarviselDlg::~CTarviselDlg() {
  m_services.SetHandler({});
  // The receive thread uses the link: it must end before the link goes.
  g_bRxRun = false;
  m_comm.Close();
  m_comm.ReleaseComm();
  // Joins the thread, which leaves its loop once the closed port ends its wait or its burst;
  // spinning on its flag meanwhile would only burn the processor for up to two read pauses.
  m_pRxThread.reset();
}

void CTarviselDlg::Dispatch(const WindowMessage& msg) {
  switch (msg.message) {
    case WM_LOG_TEXT:
      OnLogText(msg.wParam, msg.lParam);
      break;
    case WM_RX_PACKET:
      m_comm.StoreResponse(msg.packet);
      m_core.OnFrame(Now(), msg.packet);
      Drive();
      break;
    case WM_COMM_BREAK:
      OnCommBreak(msg.wParam, msg.lParam);
      break;
    case WM_TIMER:
      // The services' timers fire again until killed; the core's are each for one time.
      m_services.KillTimer(static_cast<uint32_t>(msg.wParam));
      m_core.OnTimer(Now(), static_cast<uint32_t>(msg.wParam));
      Drive();
      break;
    case WM_CLOSE:
      OnClose();
      break;
    case WM_COMMAND:
      OnCommand(static_cast<int>(msg.wParam), msg.lParam);
      break;
    default:
      break;
  }
}

void CTarviselDlg::OnCommand(int id, intptr_t notification) {
  if (notification == BN_CLICKED) {
    switch (id) {
      case IDC_OPEN:
        return OnOpen();
      case IDC_RUN:
        return OnRun();
      case IDC_STOP:
        return OnStop();
      case IDC_INFO:
        return OnInfo();
      case IDC_TODM:
        return OnToDm();
      default:
        break;
    }
  }
  if (notification == CBN_SELCHANGE) {
    switch (id) {
      case IDC_PORT:
        return OnSelchangePort();
      case IDC_SPEED:
        return OnSelchangeSpeed();
      case IDC_TYPE:
        return OnSelchangeType();
      default:
        break;
    }
  }
}

void CTarviselDlg::UpdateData(bool save) {
  CDialogControls& c = m_services.Controls();
  if (!save) {
    c.SetText(IDC_BIN_PATH, m_strBinPath);
    c.SetText(IDC_FILE_VERSION, m_strFileVer);
    c.SetText(IDC_SIZE, std::to_string(m_dwSize));
    c.SetComboSel(IDC_TYPE, m_nType);
    c.SetComboSel(IDC_PORT, m_nPortIdx);
    c.SetComboSel(IDC_SPEED, m_nSpeedIdx);
    c.SetText(IDC_STATUS, m_strStatus);
    c.SetText(IDC_PCB_VERSION, m_strPcbVer);
    c.SetText(IDC_SW_VERSION, m_strSwVer);
    c.SetText(IDC_COMPILED, m_strCompiled);
    return;
  }
  m_strBinPath = c.GetText(IDC_BIN_PATH);
  m_strFileVer = c.GetText(IDC_FILE_VERSION);
  const std::string size = c.GetText(IDC_SIZE);
  char* end = nullptr;
  const unsigned long v = std::strtoul(size.c_str(), &end, 10);
  if (!size.empty() && end && *end == '\0') m_dwSize = static_cast<uint32_t>(v);
  m_nType = c.GetComboSel(IDC_TYPE);
  m_nPortIdx = c.GetComboSel(IDC_PORT);
  m_nSpeedIdx = c.GetComboSel(IDC_SPEED);
  m_strStatus = c.GetText(IDC_STATUS);
  m_strPcbVer = c.GetText(IDC_PCB_VERSION);
  m_strSwVer = c.GetText(IDC_SW_VERSION);
  m_strCompiled = c.GetText(IDC_COMPILED);
}

EngineView CTarviselDlg::View() const {
  const engine::CoreView core = m_core.View();
  EngineView v;
  v.state = core.state;
  v.dlStep = core.dlStep;
  v.startAddr = core.startAddr;
  v.length = core.length;
  v.blocks = core.blocks;
  v.blockIdx = core.blockIdx;
  v.phoneRev = core.phoneRev;
  v.fileVer = m_nFileVer;
  v.toDmOnly = core.toDmOnly;
  v.linkRunning = m_pRxThread != nullptr || (m_bReceiverStandIn && g_bRxRun);
  v.command = core.command;
  v.binPath = m_strBinPath;
  v.size = m_dwSize;
  v.type = m_nType;
  v.portIdx = m_nPortIdx;
  v.speedIdx = m_nSpeedIdx;
  v.status = m_strStatus;
  v.swVer = m_strSwVer;
  v.compiled = m_strCompiled;
  v.pcbVer = m_strPcbVer;
  return v;
}
