// The fault table on virtual time against the in-process handset: every step of every command,
// each fault the handset can show there, one command per case. Each case must reach the end
// the table's rules give (support/FaultTable.h), by the path they give, and every end holds the
// same: "Downloading completed" only with the image in the flash over the range and nothing
// else changed (Info: the handset's information shown; ToDM: the handset in DM), any other end
// a finish with a failure and the idle buttons back, and never a request while a reply was owed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "support/EngineHarness.h"
#include "support/FlashCheck.h"
#include "support/FaultTable.h"

namespace {

using namespace faults;

constexpr uint64_t kLong = 30 * 60 * 1000;
constexpr size_t kFlashSize = size_t{256} << 10;  // room past the range, which must not change
constexpr int kBlocks = 16;

// One command at one step; the test runs it clean, then with each fault.
struct Group {
  Command command = Command::Download;
  int type = TYPE_NORMAL;
  bool startInToDm = false;
  Step step;
  std::vector<Fault> faults;
};

std::string GroupName(const Group& g) {
  std::string s = g.command == Command::Info ? "Info" : g.command == Command::ToDm ? "ToDm" : TypeName(g.type);
  if (g.startInToDm && g.command == Command::Download) s += "FromToDm";
  s += "_" + g.step.name;
  for (char& ch : s) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return s;
}

void PrintTo(const Group& g, std::ostream* os) { *os << GroupName(g); }

std::vector<Group> Groups() {
  std::vector<Group> out;
  auto add = [&](Command command, int type, bool toDm, const Step& step, std::vector<Fault> list) {
    out.push_back(Group{command, type, toDm, step, std::move(list)});
  };
  // Every step of the two ways into download mode.
  for (int type : {TYPE_NORMAL, TYPE_EMERGENCY}) {
    for (const Step& s : DownloadSteps(type, kBlocks)) add(Command::Download, type, false, s, FaultsFor(s));
  }
  // The other types differ in the range: the erase, the blocks and the end.
  for (int type : {TYPE_FONT, TYPE_CHANGE_NORMAL, TYPE_CHANGE_EMERGENCY}) {
    for (const Step& s : DownloadSteps(type, kBlocks)) {
      if (s.kind == "erase" || s.kind == "block" || (s.kind == "jump" && s.nth == 2)) {
        add(Command::Download, type, false, s, FaultsFor(s));
      }
    }
  }
  for (const Step& s : ToDmSteps()) {
    add(Command::Download, TYPE_NORMAL, true, s, FaultsFor(s));
    // Nothing answers the last sequence and the command ends with it: it cannot tell whether
    // the handset took it (the download goes on to the version, which can).
    if (s.answered) add(Command::ToDm, TYPE_NORMAL, true, s, FaultsFor(s));
  }
  add(Command::Info, TYPE_NORMAL, false, InfoVersionStep(), FaultsFor(InfoVersionStep()));
  return out;
}

// What one command did.
struct Ran {
  std::optional<Outcome> outcome;
  uint32_t stepFrames = 0;  // requests of the step's kind the handset took in
  std::vector<HostRequest> requests;
  std::vector<EnginePhase> phases;
};

class EngineFaultTableTest : public ::testing::TestWithParam<Group> {
 protected:
  std::string Scenario(const Case& c) const {
    std::string s;
    switch (c.command) {
      case Command::Download:
        s = "rev=1; erase-ms=200";
        if (c.type == TYPE_EMERGENCY || c.type == TYPE_CHANGE_EMERGENCY) s += "; start=download";
        break;
      case Command::Info: s = "rev=203; sw=ABCDEFGH"; break;
      case Command::ToDm: break;
    }
    if (c.startInToDm) s += "; start=todm";
    return s;
  }

  // Runs the command of the case, on a handset with the rule, to its end and checks what every
  // end must hold.
  Ran RunCase(const Case& c, const std::string& rule, const std::string& label) {
    CEngineHarness h(Scenario(c) + "; " + rule, kFlashSize);
    h.Init();
    const std::vector<uint8_t> before = h.Flash(0, kFlashSize);
    std::string image;
    uint32_t from = 0, length = 0, fileOffset = 0;
    switch (c.command) {
      case Command::Download:
        if (c.type == TYPE_NORMAL || c.type == TYPE_EMERGENCY) {
          image = h.MakeImage(0x20000, 0x10000, 1);
          from = fileOffset = 0x10000;
        } else {
          image = h.MakeImage(0x10000, 0x4000, 1);
          from = c.type == TYPE_FONT ? 0x10000 : 0;
        }
        length = kBlocks * 4096;
        h.OpenImage(image);
        h.Select(IDC_TYPE, c.type);
        if (c.type == TYPE_FONT) h.win.ExpectFontDialog({"10000", "1", true});
        h.win.ExpectMessageBox("Downloading completed", IDOK);
        h.Click(IDC_RUN);
        break;
      case Command::Info: h.Click(IDC_INFO); break;
      case Command::ToDm: h.Click(IDC_TODM); break;
    }
    const auto& e = h.events;
    EXPECT_TRUE(h.RunUntil([&] { return !e.finished.empty(); }, kLong)) << label << ": no end\n" << h.LogText();
    h.RunFor(5000);  // what still comes must not change the end

    Ran ran;
    ran.outcome = e.LastOutcome();
    ran.requests = HostRequests(h.Writes());
    ran.phases = e.phases;
    uint32_t whileOwed = 0;
    sim::HandsetMode mode = sim::HandsetMode::Dm;
    h.loop->WithModel([&](sim::CHandsetModel& m) {
      whileOwed = m.RequestsWhileOwed();
      mode = m.Mode();
      for (const sim::FrameRecord& f : m.Records()) {
        const bool ofKind = c.step.toDmStep >= 0 ? f.toDmStep >= 0
                                                 : f.check == sim::FrameCheck::Ok && !f.bytes.empty() && f.bytes[0] == c.step.cmd;
        ran.stepFrames += ofKind;
      }
    });
    EXPECT_EQ(whileOwed, 0u) << label << ": a request left while a reply was owed";
    EXPECT_EQ(e.finished.size(), 1u) << label << ": one end only";
    if (!e.finished.empty()) {
      const EngineCommand want = c.command == Command::Info   ? EngineCommand::Info
                                 : c.command == Command::ToDm ? EngineCommand::ToDm
                                                              : EngineCommand::Download;
      EXPECT_EQ(e.finished[0].command, want) << label;
      EXPECT_EQ(e.order.back().rfind("finished", 0), 0u) << label << ": the end comes last";
    }
    EXPECT_TRUE(h.win.Failures().empty()) << label << "\n" << h.win.JournalText();

    const bool completed = ran.outcome == Outcome::Completed;
    if (c.command == Command::Download) {
      EXPECT_EQ(completed, h.BoxShown("Downloading completed")) << label;
    }
    if (completed) {
      switch (c.command) {
        case Command::Download: {
          const std::vector<uint8_t> after = h.Flash(0, kFlashSize);
          std::vector<uint8_t> want = h.ReadFile(image);
          want.resize(std::max<size_t>(want.size(), fileOffset + length), 0xFF);  // past a font's end: erased
          ExpectImageInRangeOnly(after, before, want.data() + fileOffset, from, from + length, label);
          break;
        }
        case Command::Info:
          EXPECT_TRUE(e.phone && e.phone->revision == 203 && e.phone->swVersion == "Ver02.03    ABCDEFGH")
              << label << ": completed, but the phone information is not the handset's";
          break;
        case Command::ToDm:
          EXPECT_EQ(mode, sim::HandsetMode::Dm) << label << ": completed, but the handset is not in DM";
          break;
      }
    } else {
      auto& ctl = h.win.Controls();
      EXPECT_TRUE(ctl.IsEnabled(IDC_OPEN) && ctl.IsEnabled(IDC_RUN) && ctl.IsEnabled(IDC_TODM) &&
                  ctl.IsEnabled(IDC_INFO) && !ctl.IsEnabled(IDC_STOP))
          << label << ": the idle buttons are not back";
      auto red = [&](const std::string& text) {
        return std::any_of(e.logs.begin(), e.logs.end(),
                           [&](const auto& l) { return l.first == LogTone::Error && l.second == text; });
      };
      if (ran.outcome == Outcome::NoReply) {
        EXPECT_TRUE(red("응답이 없습니다.")) << label;
      }
      if (ran.outcome == Outcome::OutOfStep) {
        EXPECT_TRUE(red(kOutOfStepText)) << label;
      }
    }
    if (::testing::Test::HasFailure() && !reported) {
      reported = true;  // one log is enough to read
      ADD_FAILURE() << label << "\n" << h.LogText();
    }
    return ran;
  }

  static int Count(const std::vector<HostRequest>& requests, const std::function<bool(const HostRequest&)>& pred) {
    return static_cast<int>(std::count_if(requests.begin(), requests.end(), pred));
  }

  // The clean run of the group's command on the handset a fault needs, once per variant.
  const Ran& Clean(const Case& c) {
    auto it = clean.find(c.variant);
    if (it != clean.end()) return it->second;
    const std::string label = "the clean run for " + c.Label();
    Ran ran = RunCase(c, c.variant == Variant::Plain ? "variant=plain" : "", label);
    EXPECT_EQ(ran.outcome, Outcome::Completed) << label;
    EXPECT_TRUE(std::any_of(ran.requests.begin(), ran.requests.end(),
                            [&](const HostRequest& r) { return IsStepRequest(r, c.step); }))
        << label << ": the step never came";
    if (c.variant == Variant::Plain) {
      // Completed after the toggle: the version asked at 57600, then answered at 115200.
      const bool slow = std::any_of(ran.requests.begin(), ran.requests.end(),
                                    [](const HostRequest& r) { return r.payload == std::vector<uint8_t>{0x00} && r.baud == 57600; });
      const bool fast = std::any_of(ran.requests.begin(), ran.requests.end(),
                                    [](const HostRequest& r) { return r.payload == std::vector<uint8_t>{0x00} && r.baud == 115200; });
      EXPECT_TRUE(slow && fast) << label << ": no toggle";
    }
    if (c.startInToDm && c.command == Command::Download) {
      EXPECT_EQ(std::count(ran.phases.begin(), ran.phases.end(), EnginePhase::ToDm), 1)
          << label << ": not completed after the ToDM fall-back";
    }
    return clean.emplace(c.variant, std::move(ran)).first->second;
  }

  void Check(const Case& c) {
    const Ran& base = Clean(c);
    const Expectation want = Expect(c);
    const std::string label = c.Label();
    const Ran ran = RunCase(c, c.Rule(), label);
    ASSERT_TRUE(ran.outcome) << label;
    EXPECT_GE(ran.stepFrames, c.step.nth) << label << ": the request the fault is aimed at never came";
    EXPECT_EQ(OutcomeName(*ran.outcome), std::string(OutcomeName(want.outcome))) << label;
    if (ran.outcome != want.outcome) return;  // the path of another end means nothing
    const auto isStep = [&](const HostRequest& r) { return IsStepRequest(r, c.step); };
    const auto isErase = [](const HostRequest& r) { return r.toDmStep < 0 && !r.payload.empty() && r.payload[0] == 0xEE; };
    const int extra = Count(ran.requests, isStep) - Count(base.requests, isStep);
    const int extraErases = Count(ran.requests, isErase) - Count(base.requests, isErase);
    switch (want.path) {
      case Path::Direct:
      case Path::Resend:
        EXPECT_EQ(extra, want.extraSends) << label << ": sends of the step beyond a clean run's";
        if (c.step.block) {
          EXPECT_EQ(extraErases, 0) << label;
        }
        break;
      case Path::NewErase:
        EXPECT_EQ(extraErases, 1) << label << ": the range erased again once";
        break;
      case Path::GiveUp: {
        ASSERT_FALSE(ran.requests.empty()) << label;
        const HostRequest& last = ran.requests.back();
        EXPECT_EQ(TrailingRepeats(ran.requests), want.limit) << label << ": the last request, " << Describe(last);
        switch (want.on) {
          case GiveUpOn::TheStep: EXPECT_TRUE(IsStepRequest(last, c.step)) << label << ": " << Describe(last); break;
          case GiveUpOn::ToDmStep0: EXPECT_EQ(last.toDmStep, 0) << label << ": " << Describe(last); break;
          case GiveUpOn::Version:
            EXPECT_TRUE(last.toDmStep < 0 && last.payload == std::vector<uint8_t>{0x00}) << label << ": " << Describe(last);
            break;
        }
        if (c.step.block) {
          EXPECT_EQ(extraErases, 3) << label << ": three new erases, then no more";
        }
        break;
      }
      case Path::LineBroke:
      case Path::OutOfStep:
        break;
    }
    const bool fellBack = std::count(ran.phases.begin(), ran.phases.end(), EnginePhase::ToDm) >
                          std::count(base.phases.begin(), base.phases.end(), EnginePhase::ToDm);
    EXPECT_EQ(fellBack, want.toDmFallBack) << label << ": the ToDM fall-back";
  }

  std::map<Variant, Ran> clean;
  bool reported = false;
};

TEST_P(EngineFaultTableTest, EachFaultEndsAsItMust) {
  const Group& g = GetParam();
  for (const Fault& f : g.faults) {
    Case c;
    c.command = g.command;
    c.type = g.type;
    c.startInToDm = g.startInToDm;
    c.step = g.step;
    c.fault = f;
    c.variant = VariantFor(g.step, f);
    Check(c);
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, EngineFaultTableTest, ::testing::ValuesIn(Groups()),
                         [](const ::testing::TestParamInfo<Group>& info) { return GroupName(info.param); });

}  // namespace
