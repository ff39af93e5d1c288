#include "HandsetModel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "HandsetCodes.h"

namespace sim {

namespace {

// Escaped, a block write is at most twice its payload and FCS.
constexpr size_t kMaxRawFrame = 2 * (CHandsetModel::kMaxPayload + 2) + 8;
constexpr uint64_t kNsPerMs = 1000000;
constexpr const char* kWhileOwedNote = " [sent while a reply was owed]";
constexpr uint32_t kFifoBytes = 16;  // what the UART holds while nobody reads it

uint64_t CeilMs(uint64_t ns) { return (ns + kNsPerMs - 1) / kNsPerMs; }

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
    s += rec.check == FrameCheck::Ok ? (rec.forged ? "FORGED:  " : "fcs ok:  ")
         : rec.check == FrameCheck::Bad ? "fcs BAD: "
                                        : "raw:     ";
  }
  return s + Hex(rec.bytes, 24) + " -> " + rec.outcome;
}

CHandsetModel::CHandsetModel(CScenario scenario, size_t flashSize)
    : m_scenario(std::move(scenario)),
      m_flash(flashSize, m_scenario.flashFill),
      m_mode(HandsetMode::Dm),
      m_baud(m_scenario.DmBaud()),
      m_splitter(kMaxRawFrame) {
  if (m_scenario.adapter.On()) m_adapter.emplace(m_scenario.adapter);
  if (m_scenario.ber.On()) {
    m_hostNoise = CBitErrors(m_scenario.ber.rate, m_scenario.ber.seed, 0);
    m_replyNoise = CBitErrors(m_scenario.ber.rate, m_scenario.ber.seed, 1);
  }
  Boot(m_scenario.start);
}

void CHandsetModel::Boot(StartMode start) {
  m_moduleCopied = false;
  m_moduleBaud.reset();
  switch (start) {
    case StartMode::ToDm:
      m_mode = HandsetMode::ToDmOnly;
      m_baud = 9600;
      break;
    case StartMode::Dm:
      m_mode = HandsetMode::Dm;
      m_baud = m_scenario.DmBaud();
      break;
    case StartMode::Download:
      m_mode = HandsetMode::Download;
      m_baud = m_scenario.dloadBaud;
      break;
  }
}

bool CHandsetModel::FlashIncomplete(uint64_t nowMs) const {
  return m_flashTouched && !(m_completesAtMs && nowMs >= *m_completesAtMs);
}

void CHandsetModel::TouchFlash() {
  m_flashTouched = true;
  m_completesAtMs.reset();
}

bool CHandsetModel::PowerCycle(uint64_t nowMs) {
  const bool incomplete = FlashIncomplete(nowMs);
  m_flashTouched = incomplete;
  m_completesAtMs.reset();
  // Whatever it was about to say or do dies with the power; the flash is what stays.
  m_pending.reset();
  m_bursts.clear();
  m_lineBursts.clear();
  if (m_adapter) m_adapter->Clear();
  m_bytesOut = m_bytesScheduled;  // nothing owed
  m_lineFreeMs = nowMs;
  m_busyUntilMs = nowMs;
  m_flashWork.clear();
  m_fifoBytes = 0;
  m_splitter.Reset();
  m_hunting = false;
  m_overran = false;
  Boot(incomplete ? StartMode::Download : m_scenario.start);
  return incomplete;
}

void CHandsetModel::Advance(uint64_t nowMs) {
  // Chatter goes out as its time comes, so that it never holds back a reply scheduled later.
  while (m_chatter && m_chatter->nextMs <= nowMs && m_mode != HandsetMode::HungUp) {
    Schedule(m_chatter->nextMs, m_chatter->bytes, false, m_chatter->baud);
    m_chatter->nextMs = m_lineFreeMs + m_chatter->periodMs;
    if (--m_chatter->left == 0) m_chatter.reset();
  }
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
  m_overran = false;
  m_hunting = m_hunting && HuntsForFlags(mode);
  if (mode == HandsetMode::Download || mode == HandsetMode::Dm) {
    m_moduleCopied = false;
    m_moduleBaud.reset();
  }
}

bool CHandsetModel::Overruns(uint64_t nowMs) {
  while (!m_flashWork.empty() && m_flashWork.front().untilMs <= nowMs) m_flashWork.pop_front();
  if (m_flashWork.empty() || nowMs < m_flashWork.front().fromMs) {
    m_fifoBytes = 0;  // the receiver is serviced: the FIFO empties as it fills
    return false;
  }
  if (m_fifoSpanEnd != m_flashWork.front().untilMs) {
    m_fifoSpanEnd = m_flashWork.front().untilMs;
    m_fifoBytes = 0;
  }
  return ++m_fifoBytes > kFifoBytes;
}

void CHandsetModel::OnHostBytes(const uint8_t* sent, size_t n, uint32_t hostBaud, uint64_t nowMs) {
  Advance(nowMs);
  const uint8_t* data = sent;
  if (m_hostNoise.On()) {
    m_heard.assign(sent, sent + n);
    m_hostNoise.Damage(m_heard.data(), n);
    data = m_heard.data();
  }
  for (size_t i = 0; i < n; ++i) {
    if (m_mode == HandsetMode::HungUp || m_pending || hostBaud != m_baud) {
      // Another speed is noise to this UART, and it garbles a frame in progress. The
      // download receiver then hunts for the next flag; the DM one, whose requests may have
      // no opening flag, starts afresh with the next byte.
      m_noiseBytes += n - i;
      m_splitter.Reset();
      m_overran = false;
      m_lineChanged = false;
      m_hunting = HuntsForFlags(m_pending ? m_pending->mode : m_mode);
      return;
    }
    const uint8_t b = data[i];
    if (b != sent[i]) m_lineChanged = true;  // a byte of the frame in progress (or its opening)
    const bool lost = Overruns(nowMs);
    if (m_hunting) {
      if (b != kFlag && b != kDmOpen) {
        ++m_noiseBytes;
        continue;
      }
      m_hunting = false;
    }
    const bool done = m_splitter.Push(b);
    if (lost && (b != kFlag || done)) m_overran = true;  // a lost opening flag costs nothing
    if (done) HandleFrame(m_splitter.Take(), std::exchange(m_overran, false), nowMs);
  }
}

void CHandsetModel::TakeHandovers() {
  for (CUsbAdapter::Handover& h : m_adapter->TakeMade()) {
    m_bursts.push_back(Burst{CeilMs(h.atNs), std::move(h.bytes), h.baud, h.endsDownload});
  }
}

std::vector<Burst> CHandsetModel::TakeDue(uint64_t nowMs) {
  Advance(nowMs);
  if (m_adapter) {
    m_adapter->Expire(nowMs * kNsPerMs);
    TakeHandovers();
    while (!m_lineBursts.empty() && m_lineBursts.front().dueMs <= nowMs) m_lineBursts.pop_front();
  }
  std::vector<Burst> out;
  size_t k = 0;
  while (k < m_bursts.size() && m_bursts[k].dueMs <= nowMs) {
    m_bytesOut += m_bursts[k].bytes.size();
    ++k;
  }
  out.assign(std::make_move_iterator(m_bursts.begin()),
             std::make_move_iterator(m_bursts.begin() + static_cast<ptrdiff_t>(k)));
  m_bursts.erase(m_bursts.begin(), m_bursts.begin() + static_cast<ptrdiff_t>(k));
  return out;
}

std::optional<uint64_t> CHandsetModel::NextDueMs() const {
  std::optional<uint64_t> next;
  if (!m_bursts.empty()) {
    next = m_bursts.front().dueMs;
  } else if (m_adapter) {
    if (const auto end = m_adapter->HoldEndsNs()) next = CeilMs(*end);
  }
  return EarlierChatter(next);
}

std::optional<uint64_t> CHandsetModel::EarlierChatter(std::optional<uint64_t> next) const {
  if (!m_chatter || m_mode == HandsetMode::HungUp) return next;
  return next ? std::min(*next, m_chatter->nextMs) : m_chatter->nextMs;
}

void CHandsetModel::DropDue(uint64_t nowMs) {
  // What the host gets is the runner's business here; only the count of what is out stays.
  m_adapter->Expire(nowMs * kNsPerMs);
  TakeHandovers();
  while (!m_bursts.empty() && m_bursts.front().dueMs <= nowMs) {
    m_bytesOut += m_bursts.front().bytes.size();
    m_bursts.erase(m_bursts.begin());
  }
}

std::vector<Burst> CHandsetModel::TakeLineDue(uint64_t nowMs) {
  if (!m_adapter) return TakeDue(nowMs);
  Advance(nowMs);
  DropDue(nowMs);
  std::vector<Burst> out;
  while (!m_lineBursts.empty() && m_lineBursts.front().dueMs <= nowMs) {
    out.push_back(std::move(m_lineBursts.front()));
    m_lineBursts.pop_front();
  }
  return out;
}

std::optional<uint64_t> CHandsetModel::NextLineDueMs() const {
  if (!m_adapter) return NextDueMs();
  if (m_lineBursts.empty()) return EarlierChatter(std::nullopt);
  return EarlierChatter(m_lineBursts.front().dueMs);
}

uint64_t CHandsetModel::BytesOutBy(uint64_t nowMs) const {
  uint64_t out = m_bytesOut;
  for (const Burst& b : m_bursts) {
    if (b.dueMs > nowMs) return out;
    out += b.bytes.size();
  }
  if (m_adapter) {
    const auto end = m_adapter->HoldEndsNs();
    if (end && CeilMs(*end) <= nowMs) out += m_adapter->HeldBytes();
  }
  return out;
}

void CHandsetModel::CheckOwed(FrameRecord& rec, uint64_t nowMs, bool damaged, bool lineChanged) {
  m_request = rec.bytes;
  m_requestDamaged = damaged || rec.check == FrameCheck::Bad;
  // An identical resend is how a host recovers from a lost reply; anything else must wait.
  // Every download request opens with a flag: a frame without one is a piece the line made
  // (the rest of a request noise split, or a request whose opening flag closed a frame the
  // line had left open), not a request the host began.
  const bool closedByThisFrame = HuntsForFlags(m_mode) && rec.opening == 0;
  m_requestPiece = closedByThisFrame;
  // A resend the line damaged is still that resend, and so is the resend of one it damaged: its
  // head (command, address, length) tells.
  constexpr size_t kHead = 7;
  const bool damagedResend = (m_requestDamaged || m_owedForDamaged) && rec.bytes.size() >= kHead &&
                             m_owedFor.size() >= kHead &&
                             std::equal(m_owedFor.begin(), m_owedFor.begin() + kHead, rec.bytes.begin());
  // Nor does the host owe a wait to the answer of such a piece: it never sent it. And a frame
  // whose bytes the line changed does not show which request the host sent (a resend whose
  // head the noise hit reads as another request).
  if (m_owedUpTo > BytesOutBy(nowMs) && rec.bytes != m_owedFor && !closedByThisFrame && !damagedResend &&
      !m_owedForPiece && !lineChanged) {
    rec.whileOwed = true;
    ++m_whileOwed;
  }
}

ReplyCheck CHandsetModel::CurrentCheck() const {
  switch (m_mode) {
    case HandsetMode::ToDmOnly: return ReplyCheck::None;
    case HandsetMode::Dm:
    case HandsetMode::DmOffline:
      if (m_scenario.variant == DmVariant::Crc30) return ReplyCheck::Crc30;
      break;
    default: break;
  }
  return m_scenario.check == CheckStyle::Other ? ReplyCheck::Xmodem : ReplyCheck::Fcs16;
}

uint64_t CHandsetModel::WireMs(size_t bytes, uint32_t baud) const {
  const uint64_t bits = static_cast<uint64_t>(bytes) * 10 * 1000;
  return (bits + baud - 1) / baud;
}

uint64_t CHandsetModel::ReplyBaseMs(uint64_t nowMs) const {
  return std::max(nowMs, m_busyUntilMs) + m_scenario.timing.replyMs;
}

void CHandsetModel::Record(FrameRecord rec) {
  if (rec.whileOwed) rec.outcome += kWhileOwedNote;
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

void CHandsetModel::HandleOverrun(const RawFrame& frame, FrameRecord rec, ReplyCheck check, uint64_t nowMs) {
  // The handset cannot know what it missed; the record shows what the host sent, so that a
  // resend of the request being answered still counts as one.
  bool damaged = true;
  if (!frame.overflow) {
    DecodedRequest req = DecodeRequest(frame.bytes);
    damaged = !req.fcsOk;
    rec.bytes = req.fcsOk ? std::move(req.payload) : std::move(req.unescaped);
  }
  CheckOwed(rec, nowMs, damaged);
  if (m_scenario.busy == BusyMode::Drop) {
    rec.outcome = "lost: busy";
    Record(std::move(rec));
    return;
  }
  rec.outcome = "overrun while busy: nak A1";
  Record(std::move(rec));
  Answer(Reply({kNakCrc}), ReqKind::Other, check, nowMs);
}

void CHandsetModel::HandleFrame(RawFrame frame, bool overran, uint64_t nowMs) {
  // What the line changed belongs to this frame: the next one starts clean.
  const bool lineChanged = std::exchange(m_lineChanged, false);
  if (m_chatter && nowMs >= m_chatter->fromMs) m_chatter.reset();  // the host spoke after the reply
  m_lastN = m_lastAny = 0;  // set again once the frame is counted as a request
  if (m_mode == HandsetMode::ToDmOnly) {
    HandleToDm(frame, nowMs);
    return;
  }
  const bool download = m_mode == HandsetMode::Download || m_mode == HandsetMode::Module;
  const ReplyCheck check = CurrentCheck();
  FrameRecord rec{nowMs, m_baud, m_mode, frame.opening, -1, {}, FrameCheck::NotChecked, {}};
  if (overran) {
    HandleOverrun(frame, std::move(rec), check, nowMs);
    return;
  }
  if (frame.overflow) {
    CheckOwed(rec, nowMs);
    rec.outcome = download ? "too long: nak A2" : "too long: ignored";
    Record(std::move(rec));
    if (download) Answer(Reply({kNakTooLarge}), ReqKind::Other, check, nowMs);
    return;
  }
  DecodedRequest req = DecodeRequest(frame.bytes);
  if (!req.fcsOk || req.payload.empty()) {
    rec.bytes = req.unescaped.empty() ? req.payload : req.unescaped;
    rec.check = FrameCheck::Bad;
    CheckOwed(rec, nowMs, false, lineChanged);
    rec.outcome = download ? "bad fcs: nak A1" : "bad fcs: 13 + frame";
    const Response r = Reply(download ? std::vector<uint8_t>{kNakCrc} : WithEcho(kDmBadCmd, rec.bytes));
    Record(std::move(rec));
    Answer(r, ReqKind::Other, check, nowMs);
    return;
  }
  rec.check = FrameCheck::Ok;
  rec.forged = lineChanged;
  rec.bytes = req.payload;
  CheckOwed(rec, nowMs, false, lineChanged);
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
  CheckOwed(rec, nowMs);
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
    m_lineBursts.clear();
    if (m_adapter) m_adapter->Clear();
    m_bytesOut = m_bytesScheduled;  // nothing more is coming
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
  auto rule = [&](const std::vector<FaultRule>& rules) { return n ? FindRule(rules, kind, n, nAny) : nullptr; };
  uint64_t workMs = r.workMs;
  if (const FaultRule* stall = rule(m_scenario.stall)) workMs += stall->value;
  uint64_t due = ReplyBaseMs(nowMs) + workMs;
  if (workMs > 0 && m_scenario.busy != BusyMode::Queue && HuntsForFlags(m_mode)) {
    m_flashWork.push_back(Span{std::max(nowMs, m_busyUntilMs), due});  // from taking it to its ACK
  }
  if (r.send) {
    const FaultRule* delay = rule(m_scenario.delay);
    const FaultRule* noise = rule(m_scenario.noise);
    const FaultRule* split = rule(m_scenario.split);
    const FaultRule* junk = rule(m_scenario.junk);
    const FaultRule* dup = rule(m_scenario.dup);
    const FaultRule* extra = rule(m_scenario.extra);
    const bool bad = rule(m_scenario.badcrc) != nullptr;
    const FaultRule* speed = rule(m_scenario.speed);
    const uint32_t baud = speed ? speed->value : m_baud;
    if (delay) due += delay->value;
    const std::vector<uint8_t> frame = EncodeReply(r.payload, check, bad);
    std::vector<uint8_t> wire;  // the first burst: what leads the frame, then the frame
    // The reply owed runs to the end of its frame; a duplicate or an extra reply after it is
    // the handset's doing, and no host could know to wait for it.
    uint64_t owedUpTo = m_bytesScheduled;
    if (junk && junk->gap) {
      Schedule(due, junk->bytes, false, baud);
      due += junk->value;
    } else if (junk) {
      wire = junk->bytes;
    }
    if (noise) {
      const std::vector<uint8_t> lead = MakeNoise(noise->value);
      wire.insert(wire.end(), lead.begin(), lead.end());
    }
    wire.insert(wire.end(), frame.begin(), frame.end());
    owedUpTo += wire.size() + (junk && junk->gap ? junk->bytes.size() : 0);
    // What follows: each piece a gap after the one before is out, or (gap 0) in its burst.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> after;
    if (split && wire.size() >= 2) {
      const size_t at = split->value2 ? std::min<size_t>(split->value2, wire.size() - 1) : wire.size() / 2;
      after.emplace_back(split->value, std::vector<uint8_t>(wire.begin() + static_cast<ptrdiff_t>(at), wire.end()));
      wire.resize(at);
    }
    if (dup) after.emplace_back(dup->value, frame);
    if (extra) after.emplace_back(extra->value, EncodeReply(extra->bytes, check));
    for (auto& [gap, bytes] : after) {
      if (gap == 0) {
        wire.insert(wire.end(), bytes.begin(), bytes.end());
        continue;
      }
      Schedule(due, std::move(wire), false, baud);
      due = m_lineFreeMs + gap;
      wire = std::move(bytes);
    }
    Schedule(due, std::move(wire), r.endsDownload, baud);
    if (r.endsDownload) m_completesAtMs = m_lineFreeMs;
    if (const FaultRule* chatter = rule(m_scenario.chatter)) {
      m_chatter = Chatter{m_lineFreeMs, m_lineFreeMs + chatter->value, chatter->value, kMaxChatter, baud,
                          EncodeReply(r.payload, check, true)};
    }
    m_busyUntilMs = m_lineFreeMs;
    m_owedUpTo = owedUpTo;
    m_owedFor = m_request;
    m_owedForDamaged = m_requestDamaged;
    m_owedForPiece = m_requestPiece;
  } else {
    m_busyUntilMs = std::max(m_busyUntilMs, due);
  }
  if (r.nextMode) {
    const uint64_t from = r.send ? m_lineFreeMs : due;
    m_pending = Transition{from + r.switchMs, *r.nextMode, r.nextBaud};
    m_splitter.Reset();
  }
}

void CHandsetModel::Schedule(uint64_t dueMs, std::vector<uint8_t> bytes, bool endsDownload, uint32_t baud) {
  m_replyNoise.Damage(bytes.data(), bytes.size());
  // One line: a reply never overtakes the one before it.
  const uint64_t due = std::max(dueMs, m_lineFreeMs);
  m_lineFreeMs = due + WireMs(bytes.size(), baud);
  m_bytesScheduled += bytes.size();
  if (!m_adapter) {
    m_bursts.push_back(Burst{due, std::move(bytes), baud, endsDownload});
    return;
  }
  // The adapter's hand-overs are planned as the bytes are scheduled: each byte reaches it
  // once it has crossed the line.
  const uint64_t byteNs = m_outputLineTime ? uint64_t{10} * 1000000000 / baud : 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    m_adapter->Push(bytes[i], due * kNsPerMs + (i + 1) * byteNs, baud, endsDownload && i + 1 == bytes.size());
  }
  TakeHandovers();
  m_lineBursts.push_back(Burst{due, std::move(bytes), baud, endsDownload});
}

}  // namespace sim
