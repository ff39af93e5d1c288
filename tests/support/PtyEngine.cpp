#include "support/PtyEngine.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "SampleImage.h"

CPtyEngine::~CPtyEngine() {
  Stop();
  unsetenv("TARVISEL_COM1");
  unsetenv("TARVISEL_SETTINGS");
  std::error_code ec;
  if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

bool CPtyEngine::Start(const std::string& text, size_t flashSize, std::string& why) {
  sim::CScenario scenario;
  if (!scenario.Parse(text, why)) return false;
  m_handset = std::make_unique<sim::CPtyHandset>(std::make_unique<sim::CHandsetModel>(scenario, flashSize),
                                                 sim::PtyOptions{});
  if (!m_handset->Open()) {
    why = m_handset->Error();
    return false;
  }
  m_before = m_handset->Model().Flash().Bytes();
  m_thread = std::thread([this] { m_handset->Run(); });
  char tmpl[] = "/tmp/tarvisel-ptyengine-XXXXXX";
  m_dir = mkdtemp(tmpl);
  setenv("TARVISEL_SETTINGS", (m_dir + "/settings").c_str(), 1);
  setenv("TARVISEL_COM1", m_handset->SlavePath().c_str(), 1);
  win.SetMessageBoxHandler([this](const std::string& text, const std::string&, unsigned type) {
    m_boxes.push_back(text);
    return (type & MB_BUTTONS_MASK) == MB_YESNO ? IDYES : IDOK;
  });
  dlg = std::make_unique<CTarviselDlg>(win, &events);
  dlg->OnInitDialog();
  return true;
}

void CPtyEngine::OpenImage(const std::vector<uint8_t>& bytes) {
  const std::string path = m_dir + "/image.bin";
  sim::WriteImage(path, bytes);
  win.SetFileDialogHandler([path](const FileOpenRequest&) { return std::optional<std::string>(path); });
  dlg->OnOpen();
}

void CPtyEngine::Select(int id, int index) {
  win.Controls().SetComboSel(id, index);
  dlg->OnCommand(id, CBN_SELCHANGE);
}

void CPtyEngine::Click(int id) { win.PostMessage(WM_COMMAND, static_cast<uintptr_t>(id), BN_CLICKED); }

bool CPtyEngine::RunUntil(const std::function<bool()>& done, std::chrono::seconds bound) {
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!finished && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!finished) win.Quit();  // a Quit after Run returned would end the next one at once
  });
  const bool ok = win.Run(done);
  finished = true;
  watchdog.join();
  return ok;
}

bool CPtyEngine::Shown(const std::string& text) const {
  for (const std::string& b : m_boxes) {
    if (b == text) return true;
  }
  return false;
}

void CPtyEngine::Stop() {
  dlg.reset();
  if (!m_thread.joinable()) return;
  m_handset->Stop();
  m_thread.join();
}
