#include "Scenario.h"

#include <array>
#include <charconv>
#include <limits>

namespace sim {

namespace {

constexpr std::array<const char*, kReqKindCount> kKindNames = {
    "any",  "todm", "status", "version", "dmoffline", "dloadmode", "dlstart",
    "copy", "baud", "jump",   "erase",   "block",     "other"};

constexpr uint32_t kMaxMs = 600000;  // ten minutes: anything longer is a typing error

bool Fail(std::string& why, std::string text) {
  why = std::move(text);
  return false;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> SplitOn(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(sep, start);
    out.push_back(Trim(s.substr(start, at == std::string::npos ? std::string::npos : at - start)));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

bool ParseUnsigned(const std::string& s, uint32_t& out, int base = 10) {
  std::string t = s;
  if (base == 16 && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty()) return false;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
  if (ec != std::errc() || end != t.data() + t.size() || v > std::numeric_limits<uint32_t>::max()) {
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool ParseKind(const std::string& s, ReqKind& kind) {
  for (size_t i = 0; i < kKindNames.size(); ++i) {
    if (s == kKindNames[i]) {
      kind = static_cast<ReqKind>(i);
      return true;
    }
  }
  return false;
}

bool ParseList(const std::string& s, Occurrences& occ, std::string& why) {
  occ.ranges.clear();
  for (const std::string& part : SplitOn(s, ',')) {
    if (part == "*") {
      occ.ranges.emplace_back(1, std::numeric_limits<uint32_t>::max());
      continue;
    }
    const size_t dash = part.find('-');
    uint32_t a = 0, b = 0;
    const bool ok = dash == std::string::npos
                        ? ParseUnsigned(part, a) && (b = a, true)
                        : ParseUnsigned(Trim(part.substr(0, dash)), a) &&
                              ParseUnsigned(Trim(part.substr(dash + 1)), b);
    if (!ok || a == 0 || b < a) {
      why = "'" + part + "' is not a request number (1, 2, ...), a range N-M or *";
      return false;
    }
    occ.ranges.emplace_back(a, b);
  }
  return true;
}

bool ParseMs(const std::string& s, uint32_t& ms, std::string& why) {
  if (!ParseUnsigned(s, ms) || ms > kMaxMs) {
    why = "'" + s + "' is not a time in ms (0 to " + std::to_string(kMaxMs) + ")";
    return false;
  }
  return true;
}

bool ParseSpeed(const std::string& s, uint32_t& baud, std::string& why) {
  if (!ParseUnsigned(s, baud) || baud < 300 || baud > 4000000) {
    why = "'" + s + "' is not a line speed in bit/s";
    return false;
  }
  return true;
}

bool ParseText(const std::string& s, size_t width, std::string& out, std::string& why) {
  if (s.size() > width) {
    why = "the text is " + std::to_string(s.size()) + " characters, its field holds " +
          std::to_string(width);
    return false;
  }
  out = s;
  return true;
}

constexpr size_t kMaxRuleBytes = 256;

// Hex digits two a byte, as in 02, 7E or 0255.
bool ParseHexBytes(const std::string& s, std::vector<uint8_t>& out, std::string& why) {
  out.clear();
  bool ok = !s.empty() && s.size() % 2 == 0 && s.size() <= 2 * kMaxRuleBytes;
  for (size_t i = 0; ok && i < s.size(); i += 2) {
    uint8_t b = 0;
    const auto [end, ec] = std::from_chars(s.data() + i, s.data() + i + 2, b, 16);
    ok = ec == std::errc() && end == s.data() + i + 2;
    out.push_back(b);
  }
  if (!ok) {
    why = "'" + s + "' is not hex bytes (two digits a byte, 1 to " + std::to_string(kMaxRuleBytes) + " bytes)";
    out.clear();
  }
  return ok;
}

struct RuleShape {
  const char* key;
  const char* shape;
  size_t least, most;  // fields, the kind included
};
constexpr RuleShape kRuleShapes[] = {
    {"silent", "KIND:LIST", 2, 2},
    {"badcrc", "KIND:LIST", 2, 2},
    {"hangup", "KIND:LIST", 2, 2},
    {"nak", "KIND:LIST:CODE", 3, 3},
    {"noise", "KIND:LIST:COUNT", 3, 3},
    {"split", "KIND:LIST:GAP-MS[:BYTES]", 3, 4},
    {"delay", "KIND[:LIST]:MS", 2, 3},
    {"dup", "KIND:LIST:MS", 3, 3},
    {"junk", "KIND:LIST:HEX[:GAP-MS]", 3, 4},
    {"extra", "KIND:LIST:HEX:MS", 4, 4},
    {"speed", "KIND:LIST:BAUD", 3, 3},
    {"stall", "KIND:LIST:MS", 3, 3},
    {"chatter", "KIND:LIST:MS", 3, 3},
};

// A fault rule: fields[0] is the kind, then the list, then the values the key wants.
bool ParseRule(const std::string& key, const std::vector<std::string>& f, FaultRule& rule,
               std::string& why) {
  if (key == "noise" && f.size() == 2 && f[0] == "before-reply") {
    rule.kind = ReqKind::Any;
    rule.which.ranges = {{1, std::numeric_limits<uint32_t>::max()}};
    uint32_t n = 0;
    if (!ParseUnsigned(f[1], n) || n == 0 || n > 256) {
      why = "'" + f[1] + "' is not a noise byte count (1 to 256)";
      return false;
    }
    rule.value = n;
    return true;
  }
  const RuleShape* shape = nullptr;
  for (const RuleShape& r : kRuleShapes) {
    if (key == r.key) shape = &r;
  }
  if (!shape) return Fail(why, "unknown key '" + key + "'");
  if (f.size() < shape->least || f.size() > shape->most) {
    why = key + " takes " + shape->shape;
    return false;
  }
  if (!ParseKind(f[0], rule.kind)) {
    why = "'" + f[0] + "' is not a request kind (" + std::string(kKindNames[0]);
    for (size_t i = 1; i < kKindNames.size(); ++i) why += std::string(", ") + kKindNames[i];
    why += ")";
    return false;
  }
  if (key == "delay" && f.size() == 2) {  // no list: every request of the kind
    rule.which.ranges = {{1, std::numeric_limits<uint32_t>::max()}};
    return ParseMs(f[1], rule.value, why);
  }
  if (!ParseList(f[1], rule.which, why)) return false;
  if (key == "nak") {
    if (!ParseUnsigned(f[2], rule.value, 16) || rule.value > 0xFF) {
      why = "'" + f[2] + "' is not a reply code (one hexadecimal byte)";
      return false;
    }
  } else if (key == "noise") {
    if (!ParseUnsigned(f[2], rule.value) || rule.value == 0 || rule.value > 256) {
      why = "'" + f[2] + "' is not a noise byte count (1 to 256)";
      return false;
    }
  } else if (key == "delay" || key == "dup" || key == "stall") {
    return ParseMs(f[2], rule.value, why);
  } else if (key == "chatter") {
    if (!ParseMs(f[2], rule.value, why)) return false;
    if (rule.value < 10) return Fail(why, "chatter needs at least 10 ms between its frames");
  } else if (key == "split") {
    if (!ParseMs(f[2], rule.value, why)) return false;
    if (rule.value <= 5) {
      why = "a gap of " + f[2] + " ms is too short to split a reply (more than 5 ms)";
      return false;
    }
    if (f.size() == 4 && (!ParseUnsigned(f[3], rule.value2) || rule.value2 == 0)) {
      why = "'" + f[3] + "' is not a byte count for the first part";
      return false;
    }
  } else if (key == "junk") {
    if (!ParseHexBytes(f[2], rule.bytes, why)) return false;
    rule.gap = f.size() == 4;
    if (rule.gap) return ParseMs(f[3], rule.value, why);
  } else if (key == "extra") {
    return ParseHexBytes(f[2], rule.bytes, why) && ParseMs(f[3], rule.value, why);
  } else if (key == "speed") {
    return ParseSpeed(f[2], rule.value, why);
  } else if (key == "badcrc" && rule.kind == ReqKind::ToDm) {
    why = "ToDM answers carry no check value";
    return false;
  }
  return true;
}

bool ParseAdapter(const std::string& value, AdapterSettings& adapter, std::string& why) {
  if (value == "off") {
    adapter = AdapterSettings{};
    return true;
  }
  const std::vector<std::string> f = SplitOn(value, ':');
  if (f.size() > 2) return Fail(why, "adapter takes MS[:N] or off");
  AdapterSettings next;
  if (!ParseUnsigned(f[0], next.holdMs) || next.holdMs == 0 || next.holdMs > kMaxMs) {
    return Fail(why, "'" + f[0] + "' is not an adapter hold time (1 to " + std::to_string(kMaxMs) + " ms)");
  }
  if (f.size() == 2 && (!ParseUnsigned(f[1], next.packetBytes) || next.packetBytes == 0 || next.packetBytes > 4096)) {
    return Fail(why, "'" + f[1] + "' is not an adapter packet size (1 to 4096 bytes)");
  }
  adapter = next;
  return true;
}

constexpr double kMaxBer = 0.1;  // past one bit in ten nothing gets through at all

bool ParseBer(const std::string& value, LineNoise& ber, std::string& why) {
  const std::vector<std::string> f = SplitOn(value, ':');
  if (f.size() > 2) return Fail(why, "ber takes RATE[:SEED]");
  LineNoise next;
  const std::string& r = f[0];
  const auto [end, ec] = std::from_chars(r.data(), r.data() + r.size(), next.rate);
  if (r.empty() || ec != std::errc() || end != r.data() + r.size() || !(next.rate >= 0 && next.rate <= kMaxBer)) {
    return Fail(why, "'" + r + "' is not a bit error rate (0 to 0.1, as 1e-5 or 0.00001)");
  }
  if (f.size() == 2) {
    const std::string& t = f[1];
    const auto [send, sec] = std::from_chars(t.data(), t.data() + t.size(), next.seed);
    if (t.empty() || sec != std::errc() || send != t.data() + t.size()) {
      return Fail(why, "'" + t + "' is not a seed (an unsigned integer)");
    }
  }
  ber = next;
  return true;
}

bool ParseItem(CScenario& s, const std::string& key, const std::string& value, std::string& why) {
  if (key == "start") {
    if (value == "todm") s.start = StartMode::ToDm;
    else if (value == "dm") s.start = StartMode::Dm;
    else if (value == "download") s.start = StartMode::Download;
    else return Fail(why, "start is todm, dm or download");
    return true;
  }
  if (key == "variant") {
    if (value == "crc30") s.variant = DmVariant::Crc30;
    else if (value == "plain") s.variant = DmVariant::Plain;
    else return Fail(why, "variant is crc30 or plain");
    return true;
  }
  if (key == "pace") {
    if (value == "on") s.pace = true;
    else if (value == "off") s.pace = false;
    else return Fail(why, "pace is on or off");
    return true;
  }
  if (key == "rev") {
    uint32_t r = 0;
    if (!ParseUnsigned(value, r) || r > 0xFFFF) return Fail(why, "rev is a number from 0 to 65535");
    s.version.revision = static_cast<uint16_t>(r);
    return true;
  }
  if (key == "dm-baud") {
    uint32_t b = 0;
    if (!ParseSpeed(value, b, why)) return false;
    s.dmBaud = b;
    return true;
  }
  if (key == "dload-baud") return ParseSpeed(value, s.dloadBaud, why);
  if (key == "date") return ParseText(value, VersionInfo::kDateLen, s.version.date, why);
  if (key == "time") return ParseText(value, VersionInfo::kTimeLen, s.version.time, why);
  if (key == "pcb") return ParseText(value, VersionInfo::kPcbLen, s.version.pcb, why);
  if (key == "pcb2") return ParseText(value, VersionInfo::kPcb2Len, s.version.pcb2, why);
  if (key == "sw") return ParseText(value, VersionInfo::kSwLen, s.version.sw, why);
  if (key == "reply-ms") return ParseMs(value, s.timing.replyMs, why);
  if (key == "erase-ms") return ParseMs(value, s.timing.eraseMs, why);
  if (key == "write-ms") return ParseMs(value, s.timing.writeMs, why);
  if (key == "todm-ms") return ParseMs(value, s.timing.toDmSwitchMs, why);
  if (key == "dload-ms") return ParseMs(value, s.timing.dloadSwitchMs, why);
  if (key == "jump-ms") return ParseMs(value, s.timing.jumpMs, why);
  if (key == "reboot-ms") return ParseMs(value, s.timing.rebootMs, why);
  if (key == "flash-fill") {
    if (value == "old") {
      s.flashFill.reset();
      return true;
    }
    uint32_t v = 0;
    if (!ParseUnsigned(value, v, 16) || v > 0xFF) return Fail(why, "flash-fill is one hexadecimal byte or old");
    s.flashFill = static_cast<uint8_t>(v);
    return true;
  }
  if (key == "check") {
    if (value == "fcs16") s.check = CheckStyle::Fcs16;
    else if (value == "other") s.check = CheckStyle::Other;
    else return Fail(why, "check is fcs16 or other");
    return true;
  }
  if (key == "adapter") return ParseAdapter(value, s.adapter, why);
  if (key == "host-buffer") {
    if (!ParseUnsigned(value, s.hostBuffer) || s.hostBuffer > 65536) return Fail(why, "host-buffer is a byte count, 0 to 65536");
    return true;
  }
  if (key == "ber") return ParseBer(value, s.ber, why);
  if (key == "busy") {
    if (value == "queue") s.busy = BusyMode::Queue;
    else if (value == "drop") s.busy = BusyMode::Drop;
    else if (value == "nak") s.busy = BusyMode::Nak;
    else return Fail(why, "busy is queue, drop or nak");
    return true;
  }
  std::vector<FaultRule>* rules = key == "silent" ? &s.silent
                                  : key == "nak"    ? &s.nak
                                  : key == "badcrc" ? &s.badcrc
                                  : key == "split"  ? &s.split
                                  : key == "delay"  ? &s.delay
                                  : key == "noise"  ? &s.noise
                                  : key == "hangup" ? &s.hangup
                                  : key == "dup"    ? &s.dup
                                  : key == "junk"   ? &s.junk
                                  : key == "extra"  ? &s.extra
                                  : key == "speed"  ? &s.speed
                                  : key == "stall"  ? &s.stall
                                  : key == "chatter" ? &s.chatter
                                                    : nullptr;
  if (!rules) return Fail(why, "unknown key '" + key + "'");
  FaultRule rule;
  if (!ParseRule(key, SplitOn(value, ':'), rule, why)) return false;
  rules->push_back(rule);
  return true;
}

}  // namespace

const char* KindName(ReqKind kind) { return kKindNames[static_cast<size_t>(kind)]; }

bool Occurrences::Contains(uint32_t n) const {
  for (const auto& [a, b] : ranges) {
    if (n >= a && n <= b) return true;
  }
  return false;
}

const FaultRule* FindRule(const std::vector<FaultRule>& rules, ReqKind kind, uint32_t n, uint32_t nAny) {
  for (const FaultRule& r : rules) {
    if (r.kind == ReqKind::Any ? r.which.Contains(nAny) : r.kind == kind && r.which.Contains(n)) return &r;
  }
  return nullptr;
}

bool CScenario::Parse(const std::string& text, std::string& error) {
  CScenario next = *this;
  std::string cleaned;
  bool comment = false;
  for (char c : text) {  // comments end at the line end; line ends separate items
    if (c == '\n') {
      comment = false;
      cleaned += ';';
    } else if (c == '#') {
      comment = true;
    } else if (!comment) {
      cleaned += c;
    }
  }
  int index = 0;
  for (const std::string& item : SplitOn(cleaned, ';')) {
    if (item.empty()) continue;
    ++index;
    const size_t eq = item.find('=');
    std::string why;
    if (eq == std::string::npos) {
      why = "expected KEY=VALUE";
    } else if (ParseItem(next, Trim(item.substr(0, eq)), Trim(item.substr(eq + 1)), why)) {
      continue;
    }
    error = "scenario item " + std::to_string(index) + " '" + item + "': " + why;
    return false;
  }
  *this = std::move(next);
  return true;
}

const char* CScenario::SyntaxHelp() {
  return R"(Scenario: items KEY=VALUE separated by ';' or line ends; '#' starts a comment
that runs to the line end.
Settings:
  start=todm|dm|download   where the handset starts (default dm): todm answers only the
                           ToDM sequences at 9600 bit/s; download is an EMERGENCY handset
  variant=crc30|plain      DM framing: CRC-30 replies at 57600, or FCS-16 replies at 115200
  dm-baud=N                DM speed other than the variant's
  dload-baud=N             speed of a handset that starts in download mode (default 57600)
  rev=N                    software revision, 0 to 65535 (default 203)
  date=, time=, pcb=, pcb2=, sw=TEXT
                           version texts of at most 11, 8, 11, 8 and 8 characters
  reply-ms=N               request to reply (default 3)
  erase-ms=N               duration of a flash erase (default 1500)
  write-ms=N               a block write keeps the handset busy N ms before its ACK (default 0)
  todm-ms=N                ToDM step 3 to DM mode (default 2000)
  dload-ms=N               3A reply to download mode (default 1000)
  jump-ms=N                jump ACK to the download module running (default 100)
  reboot-ms=N              final jump ACK to DM mode (default 3000)
  flash-fill=XX|old        flash contents at start: one byte, or an old image (default)
  pace=on|off              the pty runner moves bytes at the line rate both ways
  check=fcs16|other        check bytes of plain-DM and download-mode replies: FCS-16, low
                           byte first (default), or CRC-16/XMODEM (polynomial 1021, initial
                           value 0), high byte first, which does not verify as FCS-16
  adapter=MS[:N]|off       a USB serial adapter before the host (default off): the handset's
                           bytes are held from the first held byte until MS ms have passed or
                           N bytes (default 62) wait, then handed over at once
  host-buffer=N            a USB adapter's buffer on the host's side: up to N bytes written
                           leave the port's output queue at once, before they cross the line
                           (in process only; a pty's queue empties at once anyway)
  busy=queue|drop|nak      a frame that comes while the download module erases or writes a
                           block (erase-ms, write-ms, stall): queue serves it after the work
                           (default); past the 16 bytes of the receive FIFO drop loses it (no
                           effect, no reply) and nak answers it A1 after the work; a frame that
                           fits in the FIFO is served after the work with either
  ber=RATE[:SEED]          a noisy cable: each bit on the line, either way, flips with probability
                           RATE (0 to 0.1, as 1e-5 or 0.00001), the same flips for the same SEED
                           (default 1) and the same bytes
Faults; KIND is one of any todm status version dmoffline dloadmode dlstart copy baud jump
erase block other; LIST is N, N-M or *, comma-separated; the n-th request of a kind counts
from 1 over the whole run, frames with a bad check value not counted:
  silent=KIND:LIST         the request is lost: no effect, no reply
  nak=KIND:LIST:CODE       answer CODE (hex) instead: in download mode CODE alone, in DM
                           CODE and the request, to a ToDM sequence AA CODE
  badcrc=KIND:LIST         the reply's check value is wrong
  split=KIND:LIST:GAP[:N]  the reply goes out in two bursts GAP ms (more than 5) apart, the
                           first N bytes (default half) first
  delay=KIND[:LIST]:MS     the reply waits MS more (every request of the kind without LIST)
  noise=KIND:LIST:COUNT    COUNT noise bytes lead the reply in its burst
  noise=before-reply:COUNT the same before every reply
  hangup=KIND:LIST         the handset hangs up on that request
  dup=KIND:LIST:MS         the same reply frame goes out again MS ms after the first has
                           gone out (0: in the same burst)
  junk=KIND:LIST:HEX[:GAP] the bytes HEX (two digits a byte: 02, 7E, 0255) go out before the
                           reply, in its burst; with GAP in a burst of their own, the reply
                           GAP ms later
  extra=KIND:LIST:HEX:MS   a second reply of payload HEX, under the reply's check, MS ms after
                           the reply has gone out (0: in the same burst)
  speed=KIND:LIST:BAUD     the reply goes out at BAUD bit/s, the request done all the same: to
                           a host at another speed it is lost on the line
  stall=KIND:LIST:MS       the request's work takes MS more, the download module busy all along
  chatter=KIND:LIST:MS     after the reply, a damaged copy of it every MS ms (10 or more) until
                           the host's next frame: a line that never goes quiet
Example: silent=version:1,2; nak=block:5:A1; split=version:3:20; erase-ms=5000;
         junk=status:1:7E; dup=block:3:40; adapter=16:62
         ber=1e-5:7; busy=nak; write-ms=20; stall=block:5:9000; stall=erase:1:104000
)";
}

}  // namespace sim
