// The main window's own commands: initialisation, Open, the selections, the file information
// and closing.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "Registry.h"
#include "TarviselDlg.h"
#include "platform/Translate.h"

namespace {

// The user's home folder stands in for the drive root the Open dialog starts in.
std::string DefaultFolder() {
  const char* home = std::getenv("HOME");
  std::string folder = home && *home ? home : "/";
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string FileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string LowerExtension(const std::string& path) {
  const std::string name = FileName(path);
  const size_t dot = name.find_last_of('.');
  std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return std::tolower(ch); });
  return ext;
}

}  // namespace

bool CTarviselDlg::OnInitDialog() {
  UpdateData(false);
  m_nSpeedIdx = CRegistry::ReadInt(CRegistry::kBaud, CRegistry::kDefaultBaud);
  m_nPortIdx = CRegistry::ReadInt(CRegistry::kPort, CRegistry::kDefaultPort);
  m_nType = TYPE_NORMAL;
  m_services.Controls().Show(IDC_PROGRESS_IDLE, true);
  EnableButtons(true, false, true, true, false);
  UpdateData(false);
  StartDownloader();
  return true;
}

void CTarviselDlg::OnOpen() {
  std::string folder = CRegistry::ReadString(CRegistry::kBinPath);
  if (folder.empty()) folder = DefaultFolder();
  FileOpenRequest request;
  request.defaultExtension = "bin";
  request.initialFile = folder + "*.bin";
  request.filter = "Download Binary File (*.bin)|*.bin|All Files (*.*)|*.*||";
  const std::optional<std::string> chosen = m_services.FileOpenDialog(request);
  if (chosen) OpenImage(*chosen);
}

void CTarviselDlg::OpenImage(const std::string& path) {
  ImageInfo image;
  image.path = path;
  if (LowerExtension(path) != "bin") {
    m_services.MessageBox(Tr("다운로드용 파일이 아닙니다."), "", MB_OK);
    m_events.OnImageOpened(image);
    return;
  }
  m_strBinPath = path;
  const bool opened = m_dloadFile.Open(m_strBinPath, static_cast<uint8_t>(m_nType));
  if (m_bWriteSettings) CRegistry::WriteString(CRegistry::kBinPath, Folder(m_strBinPath));
  ShowFileInfo();
  EnableButtons(true, true, true, true, false);
  image.status = opened ? ImageStatus::Accepted
                 : m_dloadFile.WasDeclined() ? ImageStatus::Declined
                                             : ImageStatus::Refused;
  image.size = m_dwSize;
  image.version = m_nFileVer;
  m_events.OnImageOpened(image);
}

void CTarviselDlg::ClearFileInfo() {
  m_dwSize = 0;
  m_nFileVer = 0;
  m_strFileVer.clear();
  UpdateData(false);
  m_services.Pause(200);
}

void CTarviselDlg::ShowFileInfo() {
  ClearFileInfo();
  m_dwSize = m_dloadFile.GetSize();
  m_nFileVer = m_dloadFile.GetVersion();
  m_strFileVer = std::to_string(static_cast<int32_t>(m_nFileVer));
  UpdateData(false);
}

void CTarviselDlg::OnSelchangePort() {
  UpdateData(true);
  if (m_bWriteSettings) CRegistry::WriteInt(CRegistry::kPort, m_nPortIdx);
  m_comm.SetPort(static_cast<uint8_t>(m_nPortIdx + 1));
}

void CTarviselDlg::OnSelchangeSpeed() {
  UpdateData(true);
  if (m_bWriteSettings) CRegistry::WriteInt(CRegistry::kBaud, m_nSpeedIdx);
}

void CTarviselDlg::OnSelchangeType() { UpdateData(true); }

void CTarviselDlg::OnClose() {
  m_core.End(Outcome::Stopped);
  Drive();
  StopDownloader();
  UpdateData(true);
  m_bClosed = true;
}
