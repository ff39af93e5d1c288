#include "explore/Runner.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>

#include "SampleImage.h"
#include "platform/Trace.h"
#include "explore/ExploreHarness.h"
#if __has_include("engine/DownloadCore.h")
#include "explore/CoreRig.h"
#define TARVISEL_EXPLORE_CORE 1
#endif

namespace explore {

namespace {
constexpr uint64_t kAfterEndMs = 5000;  // what still comes must not change the end

uint64_t ImageKey(const Config& c) {
  const Layout l = LayoutOf(c);
  return (uint64_t{l.imageSize} << 32) | l.imageStart;
}
}  // namespace

CRunner::CRunner() {
  // On a RAM file system when there is one: the window stores its settings as they change.
  std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm/tarvisel-explore-XXXXXX" : "/tmp/tarvisel-explore-XXXXXX";
  if (const char* d = mkdtemp(tmpl.data())) m_dir = d;
  setenv("TARVISEL_SETTINGS", (m_dir + "/settings").c_str(), 1);
  setenv("TARVISEL_COM1", "loopback:COM1", 1);
  setenv("TARVISEL_COM2", "loopback:COM2", 1);
  sim::CScenario base;
  std::string error;
  base.Parse(Schedule{}.Scenario(), error);
  m_before = sim::CHandsetModel(base, kFlashSize).Flash().Bytes();
  trace::SetSink([this](std::string_view text) {
    // The receive thread traces too: it reads nothing here but the window pointer (atomic).
    const std::function<uint64_t()>* clock = m_clock.load();
    // The engine's write-offs, not its counts of them ("..., 2 written off)").
    const bool writeOff = text.find(": written off") != std::string_view::npos ||
                          text.find("written off before a new request") != std::string_view::npos;
    const uint64_t now = clock ? (*clock)() : 0;
    if (clock && writeOff) m_writeOffs.push_back(now);
    if (text.find("another check") != std::string_view::npos) {
      m_otherCheck = true;
      if (clock) m_unchecked.push_back({now, UINT64_MAX});
    }
    if (clock && text.find("taken unchecked was junk") != std::string_view::npos && !m_unchecked.empty())
      m_unchecked.back().second = now;
    if (m_echoTrace) std::fprintf(stderr, "%8.3f %.*s", now / 1000.0, static_cast<int>(text.size()), text.data());
  });
}

CRunner::~CRunner() {
  trace::SetSink({});
  std::error_code ec;
  if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

bool CRunner::WriteImage(const Config& c, const std::string& path) const {
  const Layout l = LayoutOf(c);
  return sim::WriteImage(path, sim::SampleImage(l.imageSize, l.imageStart, 1, 2654435761u + 1));
}

const CRunner::Image& CRunner::ImageFor(const Config& c) {
  const uint64_t key = ImageKey(c);
  auto it = m_images.find(key);
  if (it != m_images.end()) return it->second;
  const Layout l = LayoutOf(c);
  Image image;
  image.path = m_dir + "/image-" + std::to_string(l.imageSize) + "-" + std::to_string(l.imageStart) + ".bin";
  image.bytes = sim::SampleImage(l.imageSize, l.imageStart, 1, 2654435761u + 1);
  sim::WriteImage(image.path, image.bytes);
  return m_images.emplace(key, std::move(image)).first->second;
}

namespace {
// Forgets the run's clock when the run ends, however it ends.
struct ClockOfRun {
  std::atomic<const std::function<uint64_t()>*>& slot;
  std::function<uint64_t()> clock;
  ClockOfRun(std::atomic<const std::function<uint64_t()>*>& s, std::function<uint64_t()> c) : slot(s), clock(std::move(c)) {
    slot = &clock;
  }
  ~ClockOfRun() { slot = nullptr; }
};
}  // namespace

#ifdef TARVISEL_EXPLORE_CORE
bool CRunner::DriveCore(const Schedule& schedule, const Image& image, Result& r, Ran& ran,
                        const std::function<void(sim::CLoopbackDevice&, Ran&)>& judge) {
  sim::CScenario scenario;
  std::string error;
  scenario.Parse(schedule.Scenario(), error);
  const Config& c = schedule.config;
  const Layout l = LayoutOf(c);
  CCoreRig rig(scenario, kFlashSize);
  ClockOfRun clock(m_clock, [&rig] { return rig.Now(); });
  engine::DownloadJob job;
  job.type = static_cast<int>(c.type);
  job.speedIdx = c.speed == 57600 ? 0 : 1;
  job.startAddr = l.flashFrom;
  job.length = l.length;
  if (!rig.StartDownload(image.path, job)) return false;
  const uint64_t t0 = rig.Now();
  r.ended = rig.RunUntilFinished(kRunBoundMs);
  r.virtualMs = rig.Now() - t0;
  if (!r.ended) return true;
  rig.RunFor(kAfterEndMs);
  for (const auto& f : rig.finished) ran.finished.push_back({f.command, f.outcome});
  ran.completionBox = rig.BoxShown("Downloading completed");
  ran.logs = rig.logs;
  judge(*rig.loop, ran);
  return true;
}
#endif

bool CRunner::DriveWindow(const Schedule& schedule, const Image& image, Result& r, Ran& ran,
                          const std::function<void(sim::CLoopbackDevice&, Ran&)>& judge) {
  sim::CScenario scenario;
  std::string error;
  scenario.Parse(schedule.Scenario(), error);
  const Config& c = schedule.config;
  CExploreHarness h(scenario, kFlashSize);
  ClockOfRun clock(m_clock, [&h] { return h.win.Now(); });
  h.Init();
  h.dlg->OpenImage(image.path);  // what Open does with the file chosen
  auto choose = [&](int id, int index) {
    if (h.win.Controls().GetComboSel(id) != index) h.Select(id, index);
  };
  choose(IDC_TYPE, static_cast<int>(c.type));
  choose(IDC_SPEED, c.speed == 57600 ? 0 : 1);
  if (c.type == DlType::Font) h.win.ExpectFontDialog({kFontAddressText, "1", true});
  h.win.ExpectMessageBox("Downloading completed", IDOK);
  h.win.RunUntil([&] { return h.win.QueuedMessages() == 0; }, 1000);
  const uint64_t t0 = h.win.Now();
  h.Click(IDC_RUN);
  const auto& e = h.events;
  r.ended = h.win.RunUntil([&] { return !e.finished.empty(); }, kRunBoundMs);
  r.virtualMs = h.win.Now() - t0;
  if (!r.ended) return true;
  h.win.RunFor(kAfterEndMs);
  for (const auto& f : e.finished) ran.finished.push_back({f.command, f.outcome});
  ran.completionBox = h.BoxShown("Downloading completed");
  for (const auto& line : e.logs) ran.logs.push_back(line.second);
  auto& ctl = h.win.Controls();
  ran.idleButtons = ctl.IsEnabled(IDC_OPEN) && ctl.IsEnabled(IDC_RUN) && ctl.IsEnabled(IDC_TODM) &&
                    ctl.IsEnabled(IDC_INFO) && !ctl.IsEnabled(IDC_STOP);
  if (!h.win.Failures().empty()) ran.windowFailure = h.win.Failures().front();
  judge(*h.loop, ran);
  return true;
}

Result CRunner::Run(const Schedule& schedule) {
  Result r;
  auto fail = [&](std::string why, bool promise = true) {
    if (!r.failed || (promise && !r.promise)) r.why = std::move(why);  // the promise's first
    r.promise |= promise;
    r.failed = true;
  };
  sim::CScenario scenario;
  std::string error;
  if (!scenario.Parse(schedule.Scenario(), error)) {
    fail("bad scenario: " + error);
    return r;
  }
  const Config& c = schedule.config;
  const Layout l = LayoutOf(c);
  const Image& image = ImageFor(c);
  m_writeOffs.clear();
  m_unchecked.clear();
  m_otherCheck = false;

  size_t forged = 0;
  auto judge = [&](sim::CLoopbackDevice& loop, Ran& ran) {
    r.outcome = ran.finished.back().second;
    if (ran.finished.size() != 1) fail("more than one end");
    if (ran.finished.front().first != EngineCommand::Download) fail("the end is not the download's");
    const bool completed = r.outcome == Outcome::Completed;
    if (completed != ran.completionBox) fail("the completion box and the outcome disagree");
    std::vector<uint8_t> want(image.bytes);
    want.resize(std::max<size_t>(want.size(), size_t{l.fileOffset} + l.length), 0xFF);  // past a font's end: erased
    loop.WithModel([&](sim::CHandsetModel& m) {
      forged = static_cast<size_t>(
          std::count_if(m.Records().begin(), m.Records().end(), [](const sim::FrameRecord& f) { return f.forged; }));
      const auto& flash = m.Flash().Bytes();
      if (completed) {
        const size_t from = l.flashFrom, to = size_t{l.flashFrom} + l.length;
        size_t bad = to;
        for (size_t i = from; i < to; ++i) {
          if (flash[i] != want[l.fileOffset + (i - from)]) {
            bad = i;
            break;
          }
        }
        if (bad != to) {
          fail("completed, but the flash differs from the image from block " + std::to_string((bad - from) / 4096));
        } else if (!std::equal(flash.begin(), flash.begin() + static_cast<ptrdiff_t>(from), m_before.begin()) ||
                   !std::equal(flash.begin() + static_cast<ptrdiff_t>(to), flash.end(),
                               m_before.begin() + static_cast<ptrdiff_t>(to))) {
          fail("completed, but flash outside the range changed");
        }
      }
      if (m_echoTrace)
        for (const auto& line : ran.logs) std::fprintf(stderr, "log: %s\n", line.c_str());
      for (const sim::FrameRecord& f : m.Records()) {
        if (m_echoTrace) std::fprintf(stderr, "handset: %s\n", sim::FormatRecord(f).c_str());
        if (!f.whileOwed) continue;
        const bool excused =
            std::any_of(m_writeOffs.begin(), m_writeOffs.end(), [&](uint64_t t) { return t <= f.timeMs; }) ||
            // Sent while replies were taken unchecked: a pair of alike junk frames of a reply's size
            // reads as a handset with another check, and its first was taken for the answer still
            // owed. No host can tell until a reply matching FCS-16 takes the check back (a block
            // needs up to its line time, at most a second, to reach the handset after it went).
            std::any_of(m_unchecked.begin(), m_unchecked.end(), [&](const std::pair<uint64_t, uint64_t>& span) {
              return span.first <= f.timeMs && (span.second == UINT64_MAX || f.timeMs <= span.second + 1000);
            });
        if (!excused) {
          fail("a request went at " + std::to_string(f.timeMs) +
                   " ms while a reply was owed, with nothing written off before it",
               false);
          break;
        }
      }
    });
    if (!completed) {
      if (!ran.idleButtons) fail(std::string("ended ") + OutcomeName(r.outcome) + " without the idle buttons back");
      if (schedule.live)
        fail(std::string("the adversary promises a completed download; it ended ") + OutcomeName(r.outcome), false);
    }
    if (!ran.windowFailure.empty()) fail("the window: " + ran.windowFailure);
  };

  Ran ran;
  bool driven = false;
#ifdef TARVISEL_EXPLORE_CORE
  if (!m_throughWindow) driven = DriveCore(schedule, image, r, ran, judge);
  else
#endif
    driven = DriveWindow(schedule, image, r, ran, judge);
  if (!driven) {
    fail("the image could not be opened");
    return r;
  }
  if (!r.ended) {
    r.wroteOff = !m_writeOffs.empty();
    r.otherCheck = m_otherCheck;
    fail("did not end within " + std::to_string(kRunBoundMs / 1000) + " s of virtual time");
    return r;
  }
  if (r.failed && r.promise && forged > 0 && r.why.rfind("completed, but", 0) == 0) {
    r.why += " after the cable forged " + std::to_string(forged) + (forged == 1 ? " request" : " requests") +
             " (its FCS-16 held)";
    r.failed = r.promise = false;
    r.outside = true;
  }
  r.wroteOff = !m_writeOffs.empty();
  r.otherCheck = m_otherCheck;
  return r;
}

}  // namespace explore
