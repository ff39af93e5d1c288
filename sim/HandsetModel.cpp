#include "HandsetModel.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "HandsetCodes.h"

namespace sim {

namespace {

// Escaped, a block write is at most twice its payload and FCS.
constexpr size_t kMaxRawFrame = 2 * (CHandsetModel::kMaxPayload + 2) + 8;

struct ToDmSequence {
  std::vector<uint8_t> bytes;  // between the opening 7F and the closing 7E
};
const std::array<ToDmSequence, 4>& ToDmSequences() {
  static const std::array<ToDmSequence, 4> kSeq = {{
      {{0xAA, 0xDD}},
      {{0xAA, 0x1F, 0x00}},
      {{0xAA, 0x20, 0x04, 0x00, 0x02, 0x00, 0x01}},
      {{0xAA, 0x3F, 0x00}},
  }};
  return kSeq;
}

bool HuntsForFlags(HandsetMode mode) { return mode == HandsetMode::Download || mode == HandsetMode::Module; }

ReqKind Classify(uint8_t cmd) {
  switch (cmd) {
    case 0x00: return ReqKind::Version;
    case 0x0C: return ReqKind::Status;
    case 0x29: return ReqKind::DmOffline;
    case 0x3A: return ReqKind::DloadMode;
    case 0xA0: return ReqKind::DlStart;
    case 0xB0: return ReqKind::Copy;
    case 0xF0: return ReqKind::Baud;
    case 0xC0: return ReqKind::Jump;
    case 0xEE: return ReqKind::Erase;
    case 0xDD: return ReqKind::Block;
    default: return ReqKind::Other;
  }
}

std::string Hex(const std::vector<uint8_t>& b, size_t most) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < b.size() && i < most; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  if (b.size() > most) s += " ... (" + std::to_string(b.size()) + " bytes)";
  return s;
}

std::string CodeText(const char* what, uint32_t code) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(code));
  return std::string(what) + " " + buf;
}

}  // namespace

const char* ModeName(HandsetMode mode) {
  switch (mode) {
    case HandsetMode::ToDmOnly: return "todm";
    case HandsetMode::Dm: return "dm";
    case HandsetMode::DmOffline: return "dm-offline";
    case HandsetMode::Download: return "download";
    case HandsetMode::Module: return "module";
    case HandsetMode::HungUp: return "hung-up";
  }
  return "?";
}

std::string FormatRecord(const FrameRecord& rec) {
  char head[96];
  std::snprintf(head, sizeof head, "%10llu ms %7u bit/s %-10s open=%s ",
                static_cast<unsigned long long>(rec.timeMs), rec.baud, ModeName(rec.mode),
                rec.opening == 0x7E ? "7E" : rec.opening == 0x7F ? "7F" : "--");
  std::string s = head;
  if (rec.toDmStep >= 0) {
    s += "raw ToDM step " + std::to_string(rec.toDmStep) + ": ";
  } else {
    s += rec.check == FrameCheck::Ok ? "fcs ok:  " : rec.check == FrameCheck::Bad ? "fcs BAD: " : "raw:     ";
  }
  return s + Hex(rec.bytes, 24) + " -> " + rec.outcome;
}

CHandsetModel::CHandsetModel(CScenario scenario, size_t flashSize)
    : m_scenario(std::move(scenario)),
      m_flash(flashSize, m_scenario.flashFill),
      m_mode(HandsetMode::Dm),
      m_baud(m_scenario.DmBaud()),
      m_splitter(kMaxRawFrame) {
  if (m_scenario.start == StartMode::ToDm) {
    m_mode = HandsetMode::ToDmOnly;
    m_baud = 9600;
  } else if (m_scenario.start == StartMode::Download) {
    m_mode = HandsetMode::Download;
    m_baud = m_scenario.dloadBaud;
  }
}

void CHandsetModel::Advance(uint64_t nowMs) {
  if (m_pending && nowMs >= m_pending->atMs && m_mode != HandsetMode::HungUp) {
    const Transition t = *m_pending;
    m_pending.reset();
    Enter(t.mode, t.baud);
  }
}

void CHandsetModel::Enter(HandsetMode mode, uint32_t baud) {
  m_mode = mode;
  m_baud = baud;
  m_splitter.Reset();
  m_hunting = m_hunting && HuntsForFlags(mode);
  if (mode == HandsetMode::Download || mode == HandsetMode::Dm) {
    m_moduleCopied = false;
    m_moduleBaud.reset();
  }
}

void CHandsetModel::OnHostBytes(const uint8_t* data, size_t n, uint32_t hostBaud, uint64_t nowMs) {
  Advance(nowMs);
  for (size_t i = 0; i < n; ++i) {
    if (m_mode == HandsetMode::HungUp || m_pending || hostBaud != m_baud) {
      // Another speed is noise to this UART, and it garbles a frame in progress. The
      // download receiver then hunts for the next flag; the DM one, whose requests may have
      // no opening flag, starts afresh with the next byte.
      m_noiseBytes += n - i;
      m_splitter.Reset();
      m_hunting = HuntsForFlags(m_pending ? m_pending->mode : m_mode);
      return;
    }
    const uint8_t b = data[i];
    if (m_hunting) {
      if (b != kFlag && b != kDmOpen) {
        ++m_noiseBytes;
        continue;
      }
      m_hunting = false;
    }
    if (m_splitter.Push(b)) HandleFrame(m_splitter.Take(), nowMs);
  }
}

std::vector<Burst> CHandsetModel::TakeDue(uint64_t nowMs) {
  Advance(nowMs);
  std::vector<Burst> out;
  size_t k = 0;
  while (k < m_bursts.size() && m_bursts[k].dueMs <= nowMs) ++k;
  out.assign(std::make_move_iterator(m_bursts.begin()),
             std::make_move_iterator(m_bursts.begin() + static_cast<ptrdiff_t>(k)));
  m_bursts.erase(m_bursts.begin(), m_bursts.begin() + static_cast<ptrdiff_t>(k));
  return out;
}

std::optional<uint64_t> CHandsetModel::NextDueMs() const {
  if (m_bursts.empty()) return std::nullopt;
  return m_bursts.front().dueMs;
}

ReplyCheck CHandsetModel::CurrentCheck() const {
  switch (m_mode) {
    case HandsetMode::ToDmOnly: return ReplyCheck::None;
    case HandsetMode::Dm:
    case HandsetMode::DmOffline:
      return m_scenario.variant == DmVariant::Crc30 ? ReplyCheck::Crc30 : ReplyCheck::Fcs16;
    default: return ReplyCheck::Fcs16;
  }
}

uint64_t CHandsetModel::WireMs(size_t bytes) const {
  const uint64_t bits = static_cast<uint64_t>(bytes) * 10 * 1000;
  return (bits + m_baud - 1) / m_baud;
}

uint64_t CHandsetModel::ReplyBaseMs(uint64_t nowMs) const {
  return std::max(nowMs, m_busyUntilMs) + m_scenario.timing.replyMs;
}

void CHandsetModel::Record(FrameRecord rec) {
  if (m_sink) m_sink(rec);
  m_records.push_back(std::move(rec));
}

std::vector<uint8_t> CHandsetModel::MakeNoise(uint32_t count) {
  std::vector<uint8_t> out;
  for (uint32_t i = 0; i < count; ++i) {
    m_noiseState ^= m_noiseState << 13;
    m_noiseState ^= m_noiseState >> 17;
    m_noiseState ^= m_noiseState << 5;
    uint8_t b = static_cast<uint8_t>(m_noiseState >> 24);
    if (b >= kEscape && b <= kDmOpen) b ^= 0x80;  // noise that never ends or escapes a frame
    out.push_back(b);
  }
  return out;
}

void CHandsetModel::HandleFrame(RawFrame frame, uint64_t nowMs) {
  m_lastN = m_lastAny = 0;  // set again once the frame is counted as a request
  if (m_mode == HandsetMode::ToDmOnly) {
    HandleToDm(frame, nowMs);
    return;
  }
  const bool download = m_mode == HandsetMode::Download || m_mode == HandsetMode::Module;
  const ReplyCheck check = CurrentCheck();
  FrameRecord rec{nowMs, m_baud, m_mode, frame.opening, -1, {}, FrameCheck::NotChecked, {}};
  if (frame.overflow) {
    rec.outcome = download ? "too long: nak A2" : "too long: ignored";
    Record(std::move(rec));
    if (download) Answer(Reply({kNakTooLarge}), ReqKind::Other, check, nowMs);
    return;
  }
  DecodedRequest req = DecodeRequest(frame.bytes);
  if (!req.fcsOk || req.payload.empty()) {
    rec.bytes = req.unescaped.empty() ? req.payload : req.unescaped;
    rec.check = FrameCheck::Bad;
    rec.outcome = download ? "bad fcs: nak A1" : "bad fcs: 13 + frame";
    const Response r = Reply(download ? std::vector<uint8_t>{kNakCrc} : WithEcho(kDmBadCmd, rec.bytes));
    Record(std::move(rec));
    Answer(r, ReqKind::Other, check, nowMs);
    return;
  }
  rec.check = FrameCheck::Ok;
  rec.bytes = req.payload;
  if (download && req.payload.size() > kMaxPayload) {
    rec.outcome = "too large: nak A2";
    Record(std::move(rec));
    Answer(Reply({kNakTooLarge}), ReqKind::Other, check, nowMs);
    return;
  }
  const ReqKind kind = Classify(req.payload[0]);
  if (!CountAndFilter(kind, rec, nowMs, check)) return;
  Response r = m_mode == HandsetMode::Download ? DownloadBoot(req.payload)
               : m_mode == HandsetMode::Module ? DownloadModule(req.payload)
                                               : Dm(req.payload);
  rec.outcome = r.send ? "reply " + Hex(r.payload, 8) : "no reply";
  Record(std::move(rec));
  Answer(r, kind, check, nowMs);
}

void CHandsetModel::HandleToDm(const RawFrame& frame, uint64_t nowMs) {
  FrameRecord rec{nowMs, m_baud, m_mode, frame.opening, -1, frame.bytes, FrameCheck::NotChecked, {}};
  const auto& seqs = ToDmSequences();
  int step = -1;
  for (size_t s = 0; s < seqs.size(); ++s) {
    if (frame.opening == kDmOpen && !frame.overflow && frame.bytes == seqs[s].bytes) step = static_cast<int>(s);
  }
  if (step < 0) {
    rec.outcome = "not a ToDM sequence: ignored";
    Record(std::move(rec));
    return;
  }
  rec.toDmStep = step;
  rec.check = FrameCheck::Ok;
  if (!CountAndFilter(ReqKind::ToDm, rec, nowMs, ReplyCheck::None)) return;
  Response r;
  if (step < 3) {
    r.payload = {0xAA, 0xAF};
    rec.outcome = "reply AA AF";
  } else {
    r.send = false;
    r.nextMode = HandsetMode::Dm;
    r.nextBaud = m_scenario.DmBaud();
    r.switchMs = m_scenario.timing.toDmSwitchMs;
    rec.outcome = "no reply; to DM mode";
  }
  Record(std::move(rec));
  Answer(r, ReqKind::ToDm, ReplyCheck::None, nowMs);
}

bool CHandsetModel::CountAndFilter(ReqKind kind, FrameRecord& rec, uint64_t nowMs, ReplyCheck check) {
  const uint32_t n = ++m_counts[static_cast<size_t>(kind)];
  const uint32_t nAny = ++m_counts[static_cast<size_t>(ReqKind::Any)];
  m_lastN = n;
  m_lastAny = nAny;
  if (FindRule(m_scenario.hangup, kind, n, nAny)) {
    rec.outcome = "hang-up (scenario)";
    Record(std::move(rec));
    m_mode = HandsetMode::HungUp;
    m_pending.reset();
    m_bursts.clear();
    return false;
  }
  if (FindRule(m_scenario.silent, kind, n, nAny)) {
    rec.outcome = "silent (scenario)";
    Record(std::move(rec));
    return false;
  }
  if (const FaultRule* nak = FindRule(m_scenario.nak, kind, n, nAny)) {
    const uint8_t code = static_cast<uint8_t>(nak->value);
    Response r;
    if (m_mode == HandsetMode::ToDmOnly) {
      r.payload = {0xAA, code};
    } else if (m_mode == HandsetMode::Dm || m_mode == HandsetMode::DmOffline) {
      r.payload = WithEcho(code, rec.bytes);
    } else {
      r.payload = {code};
    }
    rec.outcome = CodeText("nak", code) + " (scenario)";
    Record(std::move(rec));
    Answer(r, kind, check, nowMs);
    return false;
  }
  return true;
}

void CHandsetModel::Answer(const Response& r, ReqKind kind, ReplyCheck check, uint64_t nowMs) {
  // Frames that were never counted (bad check, too long) take no faults: n is 0 for them.
  const uint32_t n = m_lastN;
  const uint32_t nAny = m_lastAny;
  uint64_t due = ReplyBaseMs(nowMs) + r.workMs;
  if (r.send) {
    const FaultRule* delay = n ? FindRule(m_scenario.delay, kind, n, nAny) : nullptr;
    const FaultRule* noise = n ? FindRule(m_scenario.noise, kind, n, nAny) : nullptr;
    const FaultRule* split = n ? FindRule(m_scenario.split, kind, n, nAny) : nullptr;
    const bool bad = n && FindRule(m_scenario.badcrc, kind, n, nAny);
    if (delay) due += delay->value;
    std::vector<uint8_t> wire = EncodeReply(r.payload, check, bad);
    if (noise) {
      std::vector<uint8_t> lead = MakeNoise(noise->value);
      wire.insert(wire.begin(), lead.begin(), lead.end());
    }
    if (split && wire.size() >= 2) {
      const size_t at = split->value2 ? std::min<size_t>(split->value2, wire.size() - 1) : wire.size() / 2;
      std::vector<uint8_t> second(wire.begin() + static_cast<ptrdiff_t>(at), wire.end());
      wire.resize(at);
      Schedule(due, std::move(wire), false);
      Schedule(m_lineFreeMs + split->value, std::move(second), r.endsDownload);
    } else {
      Schedule(due, std::move(wire), r.endsDownload);
    }
    m_busyUntilMs = m_lineFreeMs;
  } else {
    m_busyUntilMs = std::max(m_busyUntilMs, due);
  }
  if (r.nextMode) {
    const uint64_t from = r.send ? m_lineFreeMs : due;
    m_pending = Transition{from + r.switchMs, *r.nextMode, r.nextBaud};
    m_splitter.Reset();
  }
}

void CHandsetModel::Schedule(uint64_t dueMs, std::vector<uint8_t> bytes, bool endsDownload) {
  // One line: a reply never overtakes the one before it.
  const uint64_t due = std::max(dueMs, m_lineFreeMs);
  m_lineFreeMs = due + WireMs(bytes.size());
  m_bursts.push_back(Burst{due, std::move(bytes), m_baud, endsDownload});
}

}  // namespace sim
