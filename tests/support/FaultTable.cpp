#include "support/FaultTable.h"

#include <algorithm>
#include <cstdio>

#include "TarviselDlg.h"

namespace faults {

namespace {

// A span that outlasts any download: the handset keeps the fault for good.
constexpr uint32_t kForGood = 1000000;
// A speed neither end ever uses.
constexpr uint32_t kOtherSpeed = 38400;
// After the resend and before the resend's own reply time is out.
constexpr uint32_t kLateAfterResendMs = 400;

std::string Hex2(unsigned v) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

Step Request(std::string name, std::string kind, uint32_t nth, int cmd) {
  Step s;
  s.name = std::move(name);
  s.kind = std::move(kind);
  s.nth = nth;
  s.cmd = cmd;
  return s;
}

Step DmRequest(std::string name, std::string kind, int cmd) {
  Step s = Request(std::move(name), std::move(kind), 1, cmd);
  s.dm = true;
  return s;
}

bool IsDownloadMode(const Step& s) { return !s.dm && s.toDmStep < 0; }

// The first reply of a command whose two check bytes the engine judges: the first download-mode
// reply, and the plain handset's version reply.
bool FirstFcsChecked(const Case& c) {
  return (c.step.kind == "dlstart" && c.step.nth == 1) || (c.step.version && c.variant == Variant::Plain);
}

Expectation Completed(Path path, int extra = 0) {
  Expectation e;
  e.path = path;
  e.extraSends = extra;
  return e;
}

Expectation Ended(Outcome outcome, Path path) {
  Expectation e;
  e.outcome = outcome;
  e.path = path;
  return e;
}

// The engine stops asking at this step: where it says "응답이 없습니다." and after which sends.
Expectation GiveUpAt(const Case& c) {
  Expectation e = Ended(Outcome::NoReply, Path::GiveUp);
  if (c.step.version && c.command == Command::Download) {
    // Five version requests, then the ToDM sequence, which a handset in DM does not hear.
    e.toDmFallBack = true;
    e.on = GiveUpOn::ToDmStep0;
    e.limit = 3;
  } else {
    e.limit = c.step.version ? 5 : 3;
  }
  return e;
}

}  // namespace

const char* TypeName(int type) {
  switch (type) {
    case TYPE_NORMAL: return "NORMAL";
    case TYPE_EMERGENCY: return "EMERGENCY";
    case TYPE_FONT: return "FONT";
    case TYPE_CHANGE_EMERGENCY: return "CHANGE(EMERGENCY)";
    case TYPE_CHANGE_NORMAL: return "CHANGE(NORMAL)";
    default: return "?";
  }
}

std::string FaultName(const Fault& f) {
  const char* span = f.span == Span::Once ? "once" : f.span == Span::Twice ? "twice"
                     : f.span == Span::Thrice ? "three times" : "for good";
  switch (f.kind) {
    case FaultKind::Silent: return std::string("silent ") + span;
    case FaultKind::Nak: return "nak " + Hex2(f.code) + " " + span;
    case FaultKind::BadCrc30: return std::string("bad CRC-30 ") + span;
    case FaultKind::BadFcs16: return std::string("bad FCS-16 ") + span;
    case FaultKind::Split: return "split 40 ms";
    case FaultKind::Noise: return "noise before the reply";
    case FaultKind::Late: return "late after the resend";
    case FaultKind::LateBoth: return "late after the resend, and the resend's reply late";
    case FaultKind::Duplicate: return "duplicate 20 ms later";
    case FaultKind::TwoInOneRead: return "twice in one read";
    case FaultKind::Contradiction: return "another reply in the same read";
    case FaultKind::HangUp: return "hang-up";
    case FaultKind::WrongSpeed: return std::string("wrong speed ") + span;
    case FaultKind::BusyDeaf: return "at work past its reply time, deaf meanwhile";
    case FaultKind::BusyRefusing: return "at work past its reply time, A1 meanwhile";
  }
  return "?";
}

std::string Case::Rule() const {
  const std::string k = step.kind + ":";
  const std::string n = std::to_string(step.nth);
  std::string list = n;
  switch (fault.span) {
    case Span::Once: break;
    case Span::Twice: list += "-" + std::to_string(step.nth + 1); break;
    case Span::Thrice: list += "-" + std::to_string(step.nth + 2); break;
    case Span::ForGood: list += "-" + std::to_string(kForGood); break;
  }
  std::string rule;
  switch (fault.kind) {
    case FaultKind::Silent: rule = "silent=" + k + list; break;
    case FaultKind::Nak: rule = "nak=" + k + list + ":" + Hex2(fault.code); break;
    case FaultKind::BadCrc30:
    case FaultKind::BadFcs16: rule = "badcrc=" + k + list; break;
    case FaultKind::Split: rule = "split=" + k + n + ":40"; break;
    case FaultKind::Noise: rule = "noise=" + k + n + ":3"; break;
    case FaultKind::Late: rule = "delay=" + k + n + ":" + std::to_string(step.replyMs + kLateAfterResendMs); break;
    case FaultKind::LateBoth:
      rule = "delay=" + k + n + ":" + std::to_string(step.replyMs + kLateAfterResendMs) + "; delay=" + k +
             std::to_string(step.nth + 1) + ":600";
      break;
    case FaultKind::Duplicate: rule = "dup=" + k + n + ":20"; break;
    case FaultKind::TwoInOneRead: rule = "dup=" + k + n + ":0"; break;
    case FaultKind::Contradiction: {
      // Download mode: a NAK behind the ACK; DM: an error naming the request; ToDM: a refusal.
      const std::string other = step.toDmStep >= 0 ? "AAAE" : step.dm ? "13" + Hex2(static_cast<unsigned>(step.cmd)) : "A1";
      rule = "extra=" + k + n + ":" + other + ":0";
      break;
    }
    case FaultKind::HangUp: rule = "hangup=" + k + n; break;
    case FaultKind::WrongSpeed: rule = "speed=" + k + list + ":" + std::to_string(kOtherSpeed); break;
    case FaultKind::BusyDeaf:
    case FaultKind::BusyRefusing:
      rule = std::string(fault.kind == FaultKind::BusyDeaf ? "busy=drop" : "busy=nak") + "; stall=" + k + n + ":" +
             std::to_string(step.replyMs + kLateAfterResendMs);
      break;
  }
  return variant == Variant::Plain ? "variant=plain; " + rule : rule;
}

std::string Case::Label() const {
  std::string what = command == Command::Info ? "Info" : command == Command::ToDm ? "ToDM" : TypeName(type);
  if (startInToDm && command == Command::Download) what += " from ToDM";
  if (variant == Variant::Plain) what += " (plain DM)";
  return what + " / " + step.name + " / " + FaultName(fault) + "   [" + Rule() + "]";
}

Expectation Expect(const Case& c) {
  const Step& s = c.step;
  const FaultKind k = c.fault.kind;
  const Span span = c.fault.span;
  if (k == FaultKind::HangUp) return Ended(Outcome::LineBroke, Path::LineBroke);
  if (!s.answered) {
    // The last ToDM sequence lost: the handset stays where only ToDM is heard, and the
    // version after it is asked five times.
    Expectation e = Ended(Outcome::NoReply, Path::GiveUp);
    e.on = GiveUpOn::Version;
    e.limit = 5;
    return e;
  }
  // The toggle at the version's second expiry leaves a CRC-30 handset behind for good.
  const bool toggleStrands = s.version && c.variant == Variant::Crc30;
  switch (k) {
    case FaultKind::Silent:
      switch (span) {
        case Span::Once: return Completed(Path::Resend, 1);
        case Span::Twice: return toggleStrands ? GiveUpAt(c) : Completed(Path::Resend, 2);
        case Span::Thrice: return s.block ? Completed(Path::NewErase) : GiveUpAt(c);
        case Span::ForGood: return GiveUpAt(c);
      }
      break;
    case FaultKind::Nak: {
      if (span == Span::Once) return Completed(Path::Resend, 1);
      // A NAK in download mode sends the request again at once, up to the limit of sends; a
      // DM error is left to the reply timer.
      Expectation e = GiveUpAt(c);
      if (IsDownloadMode(s)) {
        e.outcome = Outcome::HandsetRefused;
        e.limit = static_cast<int>(CReplyWait::kMaxSends);
      }
      return e;
    }
    case FaultKind::BadCrc30:
    case FaultKind::BadFcs16:
    case FaultKind::Noise:
    case FaultKind::WrongSpeed:
      // The reply is lost, the request was done.
      if (span == Span::ForGood) {
        // Alike answers that fail FCS-16 pass for a handset with another check until a later
        // reply matches FCS-16; the download start goes again after the jump, and its answers
        // are then damaged ones.
        if (k == FaultKind::BadFcs16 && FirstFcsChecked(c))
          return c.step.kind == "dlstart" ? GiveUpAt(c) : Completed(Path::Resend, 1);
        return GiveUpAt(c);
      }
      return s.movesHandset ? GiveUpAt(c) : Completed(Path::Resend, 1);
    case FaultKind::Split:
      return Completed(Path::Direct);
    case FaultKind::Late:
    case FaultKind::LateBoth:
    case FaultKind::BusyDeaf:
    case FaultKind::BusyRefusing:
      return Completed(Path::Resend, 1);
    case FaultKind::Duplicate:
    case FaultKind::TwoInOneRead:
      // Nothing may answer after the final jump's ACK.
      return s.kind == "jump" && s.nth == 2 ? Ended(Outcome::OutOfStep, Path::OutOfStep) : Completed(Path::Direct);
    case FaultKind::Contradiction:
      return IsDownloadMode(s) ? Ended(Outcome::OutOfStep, Path::OutOfStep) : Completed(Path::Direct);
    case FaultKind::HangUp:
      break;
  }
  return Ended(Outcome::LineBroke, Path::LineBroke);
}

std::vector<Step> DownloadSteps(int type, int blocks) {
  std::vector<Step> steps;
  if (type == TYPE_NORMAL || type == TYPE_FONT || type == TYPE_CHANGE_NORMAL) {
    Step version = DmRequest("version", "version", 0x00);
    version.version = true;
    steps.push_back(version);
    steps.push_back(DmRequest("DM offline", "dmoffline", 0x29));
    Step mode = DmRequest("download mode", "dloadmode", 0x3A);
    mode.movesHandset = true;
    steps.push_back(mode);
  }
  steps.push_back(Request("download start", "dlstart", 1, 0xA0));
  Step copy = Request("module copy", "copy", 1, 0xB0);
  copy.replyMs = 5000;
  steps.push_back(copy);
  steps.push_back(Request("baud rate", "baud", 1, 0xF0));
  Step jump = Request("jump", "jump", 1, 0xC0);
  jump.movesHandset = true;
  steps.push_back(jump);
  steps.push_back(Request("second download start", "dlstart", 2, 0xA0));
  Step erase = Request("erase", "erase", 1, 0xEE);
  erase.replyMs = 100000;
  steps.push_back(erase);
  const uint32_t n = static_cast<uint32_t>(blocks);
  for (const auto& [nth, what] : {std::pair{1u, "first"}, std::pair{n / 2, "middle"}, std::pair{n, "last"}}) {
    Step b = Request("block " + std::to_string(nth) + " (" + what + ")", "block", nth, 0xDD);
    b.block = true;
    steps.push_back(b);
  }
  Step final = Request("final jump", "jump", 2, 0xC0);
  final.replyMs = 5000;
  final.movesHandset = true;
  steps.push_back(final);
  return steps;
}

std::vector<Step> ToDmSteps() {
  std::vector<Step> steps;
  for (int i = 0; i < 4; ++i) {
    Step s;
    s.name = "ToDM sequence " + std::to_string(i);
    s.kind = "todm";
    s.nth = static_cast<uint32_t>(i + 1);
    s.toDmStep = i;
    s.answered = i < 3;
    steps.push_back(s);
  }
  return steps;
}

Step InfoVersionStep() {
  Step s = DmRequest("version", "version", 0x00);
  s.version = true;
  return s;
}

std::vector<Fault> FaultsFor(const Step& step) {
  std::vector<Fault> out;
  if (!step.answered) return {Fault{FaultKind::Silent, Span::Once, 0}, Fault{FaultKind::HangUp, Span::Once, 0}};
  for (Span span : {Span::Once, Span::Twice, Span::Thrice, Span::ForGood}) out.push_back({FaultKind::Silent, span, 0});
  static const std::vector<uint8_t> kDmErrors = {0x13, 0x15, 0x18};
  static const std::vector<uint8_t> kDownloadNaks = {0xA1, 0xA2, 0xA3, 0xA4};
  static const std::vector<uint8_t> kNone;
  const std::vector<uint8_t>& codes = step.dm ? kDmErrors : IsDownloadMode(step) ? kDownloadNaks : kNone;
  for (Span span : {Span::Once, Span::ForGood}) {
    for (uint8_t code : codes) out.push_back({FaultKind::Nak, span, code});
    if (step.dm) out.push_back({FaultKind::BadCrc30, span, 0});
    if (step.toDmStep < 0) out.push_back({FaultKind::BadFcs16, span, 0});
    out.push_back({FaultKind::WrongSpeed, span, 0});
  }
  for (FaultKind k : {FaultKind::Split, FaultKind::Noise, FaultKind::Late, FaultKind::LateBoth, FaultKind::Duplicate,
                      FaultKind::TwoInOneRead, FaultKind::Contradiction, FaultKind::HangUp}) {
    out.push_back({k, Span::Once, 0});
  }
  if (IsDownloadMode(step)) {
    // Only the download module's flash work keeps the handset from its receive buffer.
    out.push_back({FaultKind::BusyDeaf, Span::Once, 0});
    out.push_back({FaultKind::BusyRefusing, Span::Once, 0});
  }
  return out;
}

Variant VariantFor(const Step& step, const Fault& fault) {
  return step.dm && fault.kind == FaultKind::BadFcs16 ? Variant::Plain : Variant::Crc30;
}

std::vector<HostRequest> HostRequests(const std::vector<WireWrite>& writes) {
  // Of a block write the head is enough to tell it from another: command, address, length.
  constexpr size_t kHead = 7;
  constexpr size_t kShortFrame = 64;
  std::vector<HostRequest> out;
  std::vector<uint8_t> frame;
  uint32_t baud = 0;
  uint64_t startMs = 0;
  auto finish = [&] {
    HostRequest r;
    r.timeMs = startMs;
    r.baud = baud;
    size_t at = frame[0] == 0x7F ? 1 : 0;  // the opening of a CRC-30 DM request or a ToDM sequence
    if (baud == 9600) {
      r.payload.assign(frame.begin() + static_cast<ptrdiff_t>(at), frame.end());
      if (r.payload.size() >= 2 && r.payload[0] == 0xAA) {
        switch (r.payload[1]) {
          case 0xDD: r.toDmStep = 0; break;
          case 0x1F: r.toDmStep = 1; break;
          case 0x20: r.toDmStep = 2; break;
          case 0x3F: r.toDmStep = 3; break;
          default: break;
        }
      }
    } else {
      const bool whole = frame.size() <= kShortFrame;
      for (; at < frame.size() && (whole || r.payload.size() < kHead); ++at) {
        if (frame[at] == 0x7D && at + 1 < frame.size()) {
          r.payload.push_back(static_cast<uint8_t>(frame[++at] ^ 0x20));
        } else {
          r.payload.push_back(frame[at]);
        }
      }
      if (whole) r.payload.resize(r.payload.size() >= 2 ? r.payload.size() - 2 : 0);  // the FCS-16
    }
    out.push_back(std::move(r));
  };
  for (const WireWrite& w : writes) {
    if (w.baud != baud) {
      frame.clear();  // what was cut off by the speed change never made a frame
      baud = w.baud;
    }
    auto from = w.bytes.begin();
    while (from != w.bytes.end()) {
      const auto flag = std::find(from, w.bytes.end(), uint8_t{0x7E});
      if (frame.empty() && from != flag) startMs = w.timeMs;
      frame.insert(frame.end(), from, flag);
      if (flag == w.bytes.end()) break;
      if (!frame.empty()) finish();
      frame.clear();
      from = flag + 1;
    }
  }
  return out;
}

bool IsStepRequest(const HostRequest& r, const Step& step) {
  if (step.toDmStep >= 0) return r.toDmStep == step.toDmStep;
  return r.toDmStep < 0 && !r.payload.empty() && r.payload[0] == step.cmd;
}

int TrailingRepeats(const std::vector<HostRequest>& requests) {
  int n = 0;
  for (auto it = requests.rbegin(); it != requests.rend() && *it == requests.back(); ++it) ++n;
  return n;
}

std::string Describe(const HostRequest& r) {
  if (r.toDmStep >= 0) return "ToDM sequence " + std::to_string(r.toDmStep);
  std::string s;
  for (size_t i = 0; i < r.payload.size() && i < 8; ++i) s += (i ? " " : "") + Hex2(r.payload[i]);
  return s + " at " + std::to_string(r.baud);
}

}  // namespace faults
