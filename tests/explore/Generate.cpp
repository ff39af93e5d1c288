#include "explore/Generate.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

#include "Comm/Crc.h"

namespace explore {

namespace {

// The adversary's bounds (docs/reliability.md).
constexpr uint32_t kDupMaxMs = 150;        // a reply repeated within this of its end
constexpr uint32_t kSplitMaxMs = 40;       // a reply in two pieces, this far apart
constexpr uint32_t kJunkGapMaxMs = 1000;   // junk in a burst of its own, the reply this much later
constexpr uint32_t kShortStallMaxMs = 8500;   // under the 9 s give-up of a 3 s request
constexpr uint32_t kBlockStallMaxMs = 8500;   // under a block's 9 s give-up
constexpr uint32_t kEraseStallMaxMs = 250000; // under the erase's 300 s give-up
constexpr int kMaxLossesInARow = 2;

uint64_t SplitMix(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char buf[3];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    s += buf;
  }
  return s;
}

struct KindCount {
  const char* kind;
  uint32_t count;    // requests of the kind in a clean run
  bool dm;           // answered in DM framing
  uint32_t periodMs; // the engine's reply time for it
  bool moves;        // done, it leaves the handset where a resend cannot reach it
};

std::vector<KindCount> Kinds(const Config& c) {
  std::vector<KindCount> k;
  if (!c.StartsInDownloadMode()) {
    k.push_back({"version", 1, true, 3000, false});
    k.push_back({"dmoffline", 1, true, 3000, false});
    k.push_back({"dloadmode", 1, true, 3000, true});
  }
  k.push_back({"dlstart", 2, false, 3000, false});
  k.push_back({"copy", 1, false, 5000, false});
  k.push_back({"baud", 1, false, 3000, false});
  k.push_back({"jump", 2, false, 3000, true});
  k.push_back({"erase", 1, false, 100000, false});
  k.push_back({"block", static_cast<uint32_t>(c.Blocks()), false, 3000, false});
  return k;
}

uint32_t OtherSpeed(const Config& c, const KindCount& k) {
  if (k.dm) return c.variant == DmVariant::Plain ? 57600 : 115200;
  return c.speed == 57600 ? 115200 : 57600;
}

// A frame whose check fails: escaped as on the wire, closed by a flag, opened by one at times.
std::vector<uint8_t> DamagedFrame(const std::vector<uint8_t>& payload, bool open) {
  std::vector<uint8_t> raw(payload);
  const uint16_t fcs = static_cast<uint16_t>(crc::Fcs16(payload.data(), payload.size()) ^ 0x0101);
  raw.push_back(static_cast<uint8_t>(fcs));
  raw.push_back(static_cast<uint8_t>(fcs >> 8));
  std::vector<uint8_t> out;
  if (open) out.push_back(0x7E);
  for (uint8_t b : raw) {
    if (b == 0x7E || b == 0x7D) {
      out.push_back(0x7D);
      out.push_back(static_cast<uint8_t>(b ^ 0x20));
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0x7E);
  return out;
}

}  // namespace

bool HoldsValidFrame(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> frame;
  bool escaped = false;
  for (uint8_t b : bytes) {
    if (b == 0x7E) {
      if (frame.size() >= 3) {
        const uint16_t fcs = crc::Fcs16(frame.data(), frame.size() - 2);
        if (frame[frame.size() - 2] == static_cast<uint8_t>(fcs) && frame.back() == static_cast<uint8_t>(fcs >> 8)) {
          return true;
        }
      }
      frame.clear();
      escaped = false;
    } else if (b == 0x7D) {
      escaped = true;
    } else {
      frame.push_back(escaped ? static_cast<uint8_t>(b ^ 0x20) : b);
      escaped = false;
    }
  }
  return false;
}

std::vector<Config> AllConfigs(int maxBlocks) {
  std::vector<Config> out;
  for (int t = 0; t < kTypeCount; ++t) {
    const DlType type = static_cast<DlType>(t);
    const Config probe{type, 115200, DmVariant::Crc30, 1};
    for (uint32_t speed : {57600u, 115200u}) {
      for (DmVariant v : {DmVariant::Crc30, DmVariant::Plain}) {
        if (v == DmVariant::Plain && probe.StartsInDownloadMode()) continue;  // no DM phase
        for (int b = 1; b <= (type == DlType::Font ? 1 : maxBlocks); ++b) out.push_back(Config{type, speed, v, b});
      }
    }
  }
  return out;
}

Schedule Swarm(uint64_t seed, uint64_t index, std::optional<DlType> only) {
  uint64_t state = seed * 0x2545F4914F6CDD1Dull ^ (index + 1) * 0x9E3779B97F4A7C15ull;
  std::mt19937_64 rng(SplitMix(state));
  auto pick = [&](uint64_t n) { return n ? std::uniform_int_distribution<uint64_t>(0, n - 1)(rng) : 0; };
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };

  Schedule s;
  Config& c = s.config;
  c.type = static_cast<DlType>(pick(kTypeCount));
  if (only) c.type = *only;
  c.speed = chance(0.5) ? 57600 : 115200;
  c.variant = !c.StartsInDownloadMode() && chance(0.3) ? DmVariant::Plain : DmVariant::Crc30;
  c.blocks = 1 + static_cast<int>(pick(4));
  const std::vector<KindCount> kinds = Kinds(c);

  std::vector<std::string> items;
  bool live = true;
  // Per kind, the occurrences whose request or reply is lost: no more than two in a row.
  std::map<std::string, std::vector<bool>> lost;
  auto markLoss = [&](const KindCount& k, uint32_t n) {
    auto& v = lost[k.kind];
    if (v.size() <= n) v.resize(n + 1, false);
    v[n] = true;
  };

  // Per kind and occurrence, how late its reply already is (delays and stalls add up): a send's
  // reply is late by at most three periods less 0.5 s in all, however many rules make it so.
  std::map<std::string, std::map<uint32_t, uint64_t>> late;
  auto room = [&](const KindCount& k, const std::vector<uint32_t>& ns) {
    const uint64_t most = 3 * uint64_t{k.periodMs} - 500;
    uint64_t left = most;
    for (uint32_t n : ns) left = std::min(left, most - std::min(most, late[k.kind][n]));
    return left;
  };
  auto addLate = [&](const KindCount& k, const std::vector<uint32_t>& ns, uint64_t ms) {
    for (uint32_t n : ns) late[k.kind][n] += ms;
  };


  // Which fault kinds this run has: each on with probability one half, at least one.
  enum FK { Silent, Nak, BadCrc, Split, Delay, Noise, Dup, Junk, Speed, Stall, Chatter, kFaultKinds };
  bool on[kFaultKinds];
  bool any = false;
  for (bool& b : on) any |= (b = chance(0.25));
  if (!any) on[pick(kFaultKinds)] = true;

  auto kindAt = [&]() -> const KindCount& {
    // Blocks and the set-up requests most often: where the engine decides most.
    if (chance(0.45)) return kinds.back();
    return kinds[pick(kinds.size())];
  };
  auto occurrence = [&](const KindCount& k) { return 1 + static_cast<uint32_t>(pick(k.count + 2)); };
  // Faults meet where they interact: most rules of a kind fall on or just after one send of it.
  std::map<std::string, uint32_t> focus;
  auto near = [&](const KindCount& k) {
    if (!chance(0.7)) return occurrence(k);
    auto it = focus.find(k.kind);
    if (it == focus.end()) it = focus.emplace(k.kind, occurrence(k)).first;
    return it->second + static_cast<uint32_t>(pick(4));
  };
  // A list of 1 to 3 occurrences: single ones or a range.
  auto list = [&](const KindCount& k, std::vector<uint32_t>& ns) {
    const uint32_t a = near(k);
    ns = {a};
    if (chance(0.3)) ns.push_back(a + 1 + static_cast<uint32_t>(pick(3)));
    std::string text;
    for (uint32_t n : ns) {
      if (!text.empty()) text += ',';
      text += std::to_string(n);
    }
    return text;
  };

  for (int f = 0; f < kFaultKinds; ++f) {
    if (!on[f]) continue;
    const int rules = 1 + static_cast<int>(pick(2));
    for (int r = 0; r < rules; ++r) {
      const KindCount& k = kindAt();
      std::vector<uint32_t> ns;
      const std::string where = std::string(k.kind) + ":" + list(k, ns);
      bool loss = false;
      switch (f) {
        case Silent: items.push_back("silent=" + where); loss = true; break;
        case Nak: {
          static const char* dmCodes[] = {"13", "15", "18"};
          static const char* dlCodes[] = {"A1", "A1", "A2", "A3", "A4"};
          items.push_back("nak=" + where + ":" + (k.dm ? dmCodes[pick(3)] : dlCodes[pick(5)]));
          loss = true;
          break;
        }
        case BadCrc: items.push_back("badcrc=" + where); loss = true; break;
        case Split:
          items.push_back("split=" + where + ":" + std::to_string(6 + pick(kSplitMaxMs - 5)) +
                          (chance(0.5) ? ":" + std::to_string(1 + pick(6)) : ""));
          break;
        case Delay: {
          const uint32_t ms = static_cast<uint32_t>(pick(room(k, ns)));
          addLate(k, ns, ms);
          items.push_back("delay=" + where + ":" + std::to_string(ms));
          loss = ms + 200 >= k.periodMs;
          break;
        }
        case Noise: items.push_back("noise=" + where + ":" + std::to_string(1 + pick(8))); loss = true; break;
        case Dup: items.push_back("dup=" + where + ":" + std::to_string(pick(kDupMaxMs + 1))); break;
        case Junk: {
          std::vector<uint8_t> junk;
          do {
            junk.clear();
            const int parts = 1 + static_cast<int>(pick(3));
            for (int p = 0; p < parts; ++p) {
              if (chance(0.5)) {
                // A damaged frame that looks like a reply, at times twice the same.
                static const uint8_t leads[] = {0x02, 0xA1, 0xA2, 0xA3, 0x02, 0x13};
                std::vector<uint8_t> payload{leads[pick(sizeof leads)]};
                const size_t extra = pick(4);
                for (size_t i = 0; i < extra; ++i) payload.push_back(static_cast<uint8_t>(pick(256)));
                const std::vector<uint8_t> frame = DamagedFrame(payload, chance(0.5));
                const int copies = chance(0.4) ? 2 : 1;
                for (int i = 0; i < copies; ++i) junk.insert(junk.end(), frame.begin(), frame.end());
              } else {
                static const uint8_t looks[] = {0x02, 0x7E, 0xA1, 0x7D, 0x7F, 0x00, 0xFF};
                const size_t n = 1 + pick(chance(0.8) ? 8 : 64);
                for (size_t i = 0; i < n; ++i) {
                  junk.push_back(chance(0.5) ? looks[pick(sizeof looks)] : static_cast<uint8_t>(pick(256)));
                }
              }
            }
            if (junk.size() > 256) junk.resize(256);
          } while (HoldsValidFrame(junk));
          // The same junk twice where the first download-mode answer is awaited, when nothing has
          // yet told the host which check the replies carry.
          if (r == 0 && chance(0.3)) {
            std::vector<uint8_t> payload(4);
            for (auto& b : payload) b = static_cast<uint8_t>(pick(256));
            const std::vector<uint8_t> frame = DamagedFrame(payload, true);
            std::vector<uint8_t> twice(frame);
            twice.insert(twice.end(), frame.begin(), frame.end());
            if (!HoldsValidFrame(twice)) items.push_back("junk=dlstart:1:" + Hex(twice));
          }
          const bool gap = chance(0.5);
          items.push_back("junk=" + where + ":" + Hex(junk) + (gap ? ":" + std::to_string(pick(kJunkGapMaxMs + 1)) : ""));
          loss = true;  // junk that does not end in a flag runs into the reply
          break;
        }
        case Speed: items.push_back("speed=" + where + ":" + std::to_string(OtherSpeed(c, k))); loss = true; break;
        case Stall: {
          const bool erase = std::string(k.kind) == "erase";
          const bool block = std::string(k.kind) == "block";
          const uint32_t most = static_cast<uint32_t>(
              std::min<uint64_t>(erase ? kEraseStallMaxMs : block ? kBlockStallMaxMs : kShortStallMaxMs, room(k, ns)));
          const uint32_t ms = static_cast<uint32_t>(chance(0.5) ? pick(most + 1) : pick(std::min(most, 2 * k.periodMs) + 1));
          addLate(k, ns, ms);
          items.push_back("stall=" + where + ":" + std::to_string(ms));
          loss = ms + 200 >= k.periodMs;
          break;
        }
        case Chatter:
          if (k.dm) break;  // download-mode frames only: a DM reply has framing of its own
          items.push_back("chatter=" + where + ":" + std::to_string(100 + pick(2901)));
          if (std::string(k.kind) == "jump") live = false;  // after the final jump nothing may come
          break;
        default: break;
      }
      if (loss) {
        for (uint32_t n : ns) markLoss(k, n);
        // The request done and its answer lost: the resend no longer finds the handset there.
        if (k.moves && f != Silent && f != Nak) live = false;
      }
      // Any reply after the final jump's means the replies no longer match the requests.
      if (f == Dup && std::string(k.kind) == "jump") live = false;
    }
  }
  // The handset and the line.
  if (chance(0.4)) {
    static const char* modes[] = {"queue", "drop", "nak"};
    items.push_back(std::string("busy=") + modes[pick(3)]);
  }
  if (chance(0.3)) {
    // Every block is written this slowly: within what the blocks' other lateness leaves.
    uint64_t most = 3100;
    for (const KindCount& k : kinds) {
      if (std::string(k.kind) != "block") continue;
      for (const auto& [n, ms] : late[k.kind]) most = std::min(most, room(k, {n}));
    }
    items.push_back("write-ms=" + std::to_string(chance(0.7) ? pick(std::min<uint64_t>(most, 199) + 1) : pick(most + 1)));
  }
  if (chance(0.3)) items.push_back("adapter=" + std::to_string(1 + pick(32)) + ":" + std::to_string(1 + pick(128)));
  // A USB adapter takes a whole block from the port at once.
  if (chance(0.3)) items.push_back("host-buffer=" + std::to_string(chance(0.7) ? 4096 : pick(8193)));
  if (chance(0.15)) {
    static const char* rates[] = {"1e-6", "3e-6", "1e-5", "3e-5"};
    items.push_back(std::string("ber=") + rates[pick(4)] + ":" + std::to_string(pick(1000000)));
    live = false;  // bit errors promise no bound on losses in a row
  }
  if (chance(0.01)) {
    const KindCount& k = kindAt();
    items.push_back(std::string("hangup=") + k.kind + ":" + std::to_string(occurrence(k)));
    live = false;
  }
  // The handset answers in order: what a late reply holds up passes to the sends queued behind
  // it (the resends that go a period apart while it is awaited), and each of them whose answer
  // comes a period or more after it went is lost too.
  for (const KindCount& k : kinds) {
    const auto it = late.find(k.kind);
    if (it == late.end() || it->second.empty()) continue;
    uint64_t carry = 0;
    for (uint32_t n = it->second.begin()->first; carry > 0 || n <= it->second.rbegin()->first; ++n) {
      const auto own = it->second.find(n);
      const uint64_t ms = (own == it->second.end() ? 0 : own->second) + carry;
      if (ms + 200 >= k.periodMs) markLoss(k, n);
      carry = ms > k.periodMs ? ms - k.periodMs : 0;
    }
  }
  for (const auto& [kind, v] : lost) {
    // The version's second expiry toggles speed and framing: two losses in a row leave a
    // handset of the first variant unheard until the ToDM fall-back, which a DM handset ignores.
    const int most = kind == "version" ? 1 : kMaxLossesInARow;
    int run = 0;
    for (bool b : v) {
      run = b ? run + 1 : 0;
      if (run > most) live = false;
    }
  }
  for (const std::string& it : items) s.faults += (s.faults.empty() ? "" : "; ") + it;
  s.live = live;
  return s;
}

std::vector<Fault> Alphabet(const Config& c) {
  std::vector<Fault> out;
  const std::string twoFrames = Hex(DamagedFrame({0x02, 0x11, 0x22}, true)) + Hex(DamagedFrame({0x02, 0x11, 0x22}, true));
  const std::string damagedAck = Hex(std::vector<uint8_t>{0x02, 0x00, 0x00, 0x7E});
  for (const KindCount& k : Kinds(c)) {
    // Each request of the kind and one more, but of a font's sixteen blocks the first three, a
    // middle one, the last and one more.
    std::vector<uint32_t> nths;
    for (uint32_t n = 1; n <= k.count + 1; ++n) {
      if (k.count <= 4 || n <= 3 || n == k.count / 2 || n >= k.count) nths.push_back(n);
    }
    for (uint32_t n : nths) {
      const std::string where = std::string(k.kind) + ":" + std::to_string(n);
      auto add = [&](std::string items, bool loss) {
        out.push_back(Fault{std::move(items), loss, k.moves && loss, k.kind, n});
      };
      add("silent=" + where, true);
      add("nak=" + where + (k.dm ? ":13" : ":A1"), true);
      out.back().breaksLive = false;
      out[out.size() - 2].breaksLive = false;
      add("badcrc=" + where, true);
      add("delay=" + where + ":" + std::to_string(k.periodMs + 500), true);
      add("stall=" + where + ":" + std::to_string(k.periodMs + 500), true);
      add("dup=" + where + ":60", false);
      out.back().breaksLive = std::string(k.kind) == "jump";
      add("split=" + where + ":20", false);
      add("junk=" + where + ":" + twoFrames, true);
      add("junk=" + where + ":" + damagedAck + ":100", true);
      add("speed=" + where + ":" + std::to_string(OtherSpeed(c, k)), true);
      if (!k.dm) {
        add("chatter=" + where + ":2000", false);
        out.back().breaksLive = std::string(k.kind) == "jump";
      }
    }
  }
  return out;
}

CExhaustive::CExhaustive(int maxBlocks) {
  // Each config with the host's port straight on the line and through a USB adapter.
  for (const Config& c : AllConfigs(maxBlocks)) {
    for (bool usb : {false, true}) {
      m_configs.push_back(c);
      m_usb.push_back(usb);
    }
  }
  for (const Config& c : m_configs) {
    m_alphabets.push_back(Alphabet(c));
    const uint64_t a = m_alphabets.back().size();
    m_size = std::max<uint64_t>(m_size, a + a * (a - 1) / 2);
    m_count += a + a * (a - 1) / 2;
  }
  m_size *= m_configs.size();
}

std::optional<Schedule> CExhaustive::At(uint64_t index) const {
  if (index >= m_size) return std::nullopt;
  const size_t ci = static_cast<size_t>(index % m_configs.size());
  uint64_t k = index / m_configs.size();
  const std::vector<Fault>& al = m_alphabets[ci];
  const uint64_t a = al.size();
  Schedule s;
  s.config = m_configs[ci];
  s.live = true;
  const std::string usb = m_usb[ci] ? "adapter=16:62; host-buffer=4096; " : "";
  if (k < a) {
    s.faults = usb + al[k].items;
    s.live = !al[k].breaksLive;
    return s;
  }
  k -= a;
  if (k >= a * (a - 1) / 2) return std::nullopt;  // this config is exhausted
  // The k-th pair i < j, row by row.
  uint64_t i = 0;
  while (k >= a - 1 - i) {
    k -= a - 1 - i;
    ++i;
  }
  const uint64_t j = i + 1 + k;
  s.faults = usb + al[i].items + "; " + al[j].items;
  s.live = !al[i].breaksLive && !al[j].breaksLive;
  // Two losses of the version in a row: see Swarm.
  const Fault& x = al[i];
  const Fault& y = al[j];
  if (x.loss && y.loss && x.kind == "version" && y.kind == "version" && (x.nth + 1 == y.nth || y.nth + 1 == x.nth)) {
    s.live = false;
  }
  // Two losses of one kind next to each other and a third are not possible with two faults.
  return s;
}

}  // namespace explore
