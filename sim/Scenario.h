#pragma once
// What the simulated handset is like and which faults it shows, from a short text.
//
// Items are separated by ';' or line ends; blank items are ignored; a '#' starts a comment
// that runs to the end of its line. Syntax: see CScenario::SyntaxHelp().
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VersionInfo.h"

namespace sim {

enum class StartMode { ToDm, Dm, Download };
enum class DmVariant { Crc30, Plain };

// Request kinds, for counting and for fault rules. Any counts every request.
enum class ReqKind {
  Any, ToDm, Status, Version, DmOffline, DloadMode, DlStart, Copy, Baud, Jump, Erase, Block, Other,
};
constexpr size_t kReqKindCount = static_cast<size_t>(ReqKind::Other) + 1;
const char* KindName(ReqKind kind);

// Which occurrences of a kind (counted from 1) a rule applies to.
struct Occurrences {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;  // inclusive
  bool Contains(uint32_t n) const;
};

struct FaultRule {
  ReqKind kind = ReqKind::Any;
  Occurrences which;
  uint32_t value = 0;   // nak: code; split, junk: gap ms; delay, dup, extra, stall, chatter: ms;
                        // noise: byte count; speed: bit/s
  uint32_t value2 = 0;  // split: bytes in the first burst, 0 for half
  bool gap = false;     // junk: in a burst of its own, the reply value ms after it
  std::vector<uint8_t> bytes;  // junk: the raw bytes; extra: the payload
};

// The check bytes of plain-DM and download-mode replies. Other is CRC-16/XMODEM, high byte
// first: a handset whose replies the host cannot verify as FCS-16.
enum class CheckStyle { Fcs16, Other };

// A USB serial adapter between the handset's line and the host's reads: it holds what it
// received from the first held byte until holdMs have passed or packetBytes wait.
struct AdapterSettings {
  uint32_t holdMs = 0;  // 0: no adapter, bytes reach the host as they cross the line
  uint32_t packetBytes = 62;
  bool On() const { return holdMs > 0; }
};

struct Timing {
  uint32_t replyMs = 3;         // request to reply
  uint32_t eraseMs = 1500;      // a flash erase
  uint32_t writeMs = 0;         // a block write, before its ACK
  uint32_t toDmSwitchMs = 2000; // ToDM step 3 to DM mode
  uint32_t dloadSwitchMs = 1000;// 3A reply to download mode
  uint32_t jumpMs = 100;        // jump ACK to the download module running
  uint32_t rebootMs = 3000;     // final jump ACK to DM mode
};

// What a download handset busy with its flash does with a frame that comes meanwhile.
enum class BusyMode {
  Queue,  // serves it after the work
  Drop,   // loses what its receive FIFO could not hold: no effect, no reply
  Nak,    // answers such a frame A1 after the work
};

// A noisy cable: each bit either way flips with probability rate.
struct LineNoise {
  double rate = 0;
  uint64_t seed = 1;
  bool On() const { return rate > 0; }
};

class CScenario {
 public:
  // Reads text over the defaults. On failure error names the item and what is wrong, and
  // the scenario is left as it was.
  bool Parse(const std::string& text, std::string& error);
  // The syntax, for --help.
  static const char* SyntaxHelp();

  StartMode start = StartMode::Dm;
  DmVariant variant = DmVariant::Crc30;
  std::optional<uint32_t> dmBaud;  // DM speed, when not the variant's
  uint32_t dloadBaud = 57600;      // speed of a handset that starts in download mode
  bool pace = false;
  VersionInfo version;
  Timing timing;
  std::optional<uint8_t> flashFill;  // none: an old image
  CheckStyle check = CheckStyle::Fcs16;
  AdapterSettings adapter;
  uint32_t hostBuffer = 0;  // bytes an adapter takes from the host's port at once (in process)
  BusyMode busy = BusyMode::Queue;
  LineNoise ber;

  std::vector<FaultRule> silent, nak, badcrc, split, delay, noise, hangup, dup, junk, extra, speed, stall,
      chatter;

  uint32_t DmBaud() const { return dmBaud ? *dmBaud : variant == DmVariant::Crc30 ? 57600 : 115200; }
};

// The first rule of rules matching the request, counted n-th of its kind and nAny-th overall.
const FaultRule* FindRule(const std::vector<FaultRule>& rules, ReqKind kind, uint32_t n, uint32_t nAny);

}  // namespace sim
