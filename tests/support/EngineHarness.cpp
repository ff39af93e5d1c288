#include "support/EngineHarness.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "Comm/LinkFlags.h"
#include "SampleImage.h"

namespace {
std::unique_ptr<sim::CHandsetModel> MakeModel(const std::string& text, size_t flashSize) {
  sim::CScenario scenario;
  std::string error;
  if (!scenario.Parse(text, error)) {
    ADD_FAILURE() << "scenario \"" << text << "\": " << error;
  }
  return std::make_unique<sim::CHandsetModel>(scenario, flashSize);
}
}  // namespace

CEngineHarness::CEngineHarness(const std::string& scenario, size_t flashSize) {
  char tmpl[] = "/tmp/tarvisel-engine-XXXXXX";
  m_dir = mkdtemp(tmpl);
  setenv("TARVISEL_SETTINGS", (m_dir + "/settings").c_str(), 1);
  setenv("TARVISEL_COM1", "loopback:COM1", 1);
  setenv("TARVISEL_COM2", "loopback:COM2", 1);
  auto clock = [this] { return win.Now(); };
  auto device = std::make_unique<sim::CLoopbackDevice>(MakeModel(scenario, flashSize), clock);
  loop = device.get();
  auto wire = std::make_unique<CWireRecorder>(std::move(device), clock);
  m_wire = wire.get();
  dlg = std::make_unique<CTarviselDlg>(win, &events, std::move(wire));
  win.SetHandler([this](const WindowMessage& msg) { OnMessage(msg); });
}

CEngineHarness::~CEngineHarness() {
  dlg.reset();
  g_bRxRun = false;
  g_bCommOpen = false;
  std::error_code ec;
  std::filesystem::remove_all(m_dir, ec);
  unsetenv("TARVISEL_SETTINGS");
  unsetenv("TARVISEL_COM1");
  unsetenv("TARVISEL_COM2");
}

void CEngineHarness::Init() {
  dlg->OnInitDialog();
  Reschedule();
}

void CEngineHarness::OnMessage(const WindowMessage& msg) {
  if (msg.message == WM_TIMER && msg.wParam == kDeliveryTimer) {
    win.KillTimer(kDeliveryTimer);
    m_timerArmed = false;
    Deliver();
  } else {
    dlg->Dispatch(msg);
  }
  Reschedule();
}

void CEngineHarness::Deliver() {
  // Each burst is one read of the receive thread, at the time it arrives.
  for (const sim::Burst& burst : loop->TakeDue(win.Now())) {
    if (!burst.bytes.empty())
      dlg->Comm().ParseRxData(burst.bytes.data(), static_cast<int>(burst.bytes.size()), burst.dueMs);
  }
  bool hungUp = false;
  loop->WithModel([&](sim::CHandsetModel& m) { hungUp = m.HungUp(); });
  if (hungUp && !m_hangupPosted) {
    m_hangupPosted = true;  // the receive thread reports a vanished device once
    win.PostMessage(WM_COMM_BREAK, 0, 0);
  }
}

void CEngineHarness::Reschedule() {
  for (;;) {
    const std::optional<uint64_t> next = loop->NextDueMs();
    if (!next) {
      if (m_timerArmed) win.KillTimer(kDeliveryTimer);
      m_timerArmed = false;
      Deliver();  // a hang-up has no burst of its own
      return;
    }
    if (*next <= win.Now()) {
      Deliver();
      continue;
    }
    win.SetTimer(kDeliveryTimer, static_cast<uint32_t>(*next - win.Now()));
    m_timerArmed = true;
    return;
  }
}

void CEngineHarness::Click(int id) {
  win.PostMessage(WM_COMMAND, static_cast<uintptr_t>(id), BN_CLICKED);
}

void CEngineHarness::Select(int id, int index) {
  win.Controls().SetComboSel(id, index);
  win.PostMessage(WM_COMMAND, static_cast<uintptr_t>(id), CBN_SELCHANGE);
}

void CEngineHarness::OpenImage(const std::string& path) {
  win.ExpectFileDialog(path);
  Click(IDC_OPEN);
  win.RunUntil([&] { return win.QueuedMessages() == 0; }, 1000);
}

bool CEngineHarness::RunUntil(const std::function<bool()>& pred, uint64_t maxMs) {
  return win.RunUntil(pred, maxMs);
}

bool CEngineHarness::RunFor(uint64_t ms) { return win.RunFor(ms); }

bool CEngineHarness::BoxShown(const std::string& text) const {
  for (const auto& b : win.MessageBoxes()) {
    if (b.text == text) return true;
  }
  return false;
}

std::string CEngineHarness::TempPath(const std::string& name) const { return m_dir + "/" + name; }

std::string CEngineHarness::MakeImage(uint32_t size, uint32_t startAddr, uint32_t version, uint8_t pattern) {
  const std::string path = TempPath("image-" + std::to_string(pattern) + "-" + std::to_string(size) + ".bin");
  sim::WriteImage(path, sim::SampleImage(size, startAddr, version, pattern * 2654435761u + 1));
  return path;
}

std::vector<uint8_t> CEngineHarness::ReadFile(const std::string& path) const {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

std::vector<sim::FrameRecord> CEngineHarness::Frames() {
  std::vector<sim::FrameRecord> out;
  loop->WithModel([&](sim::CHandsetModel& m) { out = m.Records(); });
  return out;
}

std::vector<uint8_t> CEngineHarness::Flash(uint32_t from, uint32_t count) {
  std::vector<uint8_t> out;
  loop->WithModel([&](sim::CHandsetModel& m) {
    const auto& f = m.Flash().Bytes();
    out.assign(f.begin() + from, f.begin() + from + count);
  });
  return out;
}
