#pragma once
// The simulated handset: its diagnostic monitor (DM), its download mode and the download
// module, as pure logic. No threads and no clock of its own: every call is told the time, and
// the host's line speed comes with the host's bytes. Replies come out as scheduled bursts.
//
// Modes and speeds:
//   ToDM-only  9600 bit/s: only the four ToDM sequences are understood; steps 0 to 2 are
//              answered AA AF 7E, step 3 switches to DM mode after todm-ms.
//   DM         the variant's speed (CRC-30 replies at 57600, FCS-16 replies at 115200):
//              00 version, 0C status, 29 01 00 DM offline; 3A (only when offline) answers
//              and switches to download mode, at the same speed, after dload-ms.
//              Unknown command: 13 + request; wrong length: 15 + request; 3A before DM
//              offline: 18 + request; bad FCS: 13 + the frame as received (FCS included),
//              so the host learns at once that its request did not arrive.
//   download   A0, B0 (module copy), F0 idx (speed for the module), C0 (jump: only after B0;
//              the module runs at F0's speed after jump-ms). The flash routines come with
//              the module, so EE and DD are refused here (A3).
//   module     A0, EE start len (takes erase-ms, then ACK), DD addr len data (takes write-ms,
//              then ACK), C0 (final jump: ACK, then back to DM mode after reboot-ms). B0 and
//              F0 are refused (A3).
//   In both download modes: ACK 02; bad FCS A1; longer than a block write A2; unknown, DM or
//   malformed request A3; a range outside the flash A4.
// From a request that changes the mode until the change, the handset hears nothing (it is
// restarting its port); bytes at a speed other than its own are line noise and are dropped.
// After lost bytes the download receiver hunts: it drops bytes up to the next 7E or 7F and
// starts the next frame there, as an HDLC receiver resynchronises. The DM receiver cannot
// (a plain-variant request has no opening flag): it starts afresh with the next byte.
//
// Busy: the download module does not service its receiver while it erases or writes a block
// (erase-ms, write-ms, stall), from taking the request until its ACK is due. What comes
// meanwhile waits in the UART's 16-byte FIFO; with busy=queue the model lets any amount wait
// (requests are served one after the other), with drop or nak a byte past the 16th overruns
// and the frame it falls in is lost (no effect, no reply, nothing owed) or answered A1 after
// the work, in order, and nothing else. A frame that fits is served after the work.
//
// A noisy cable (ber) flips bits of every byte on the line: the host's before the receiver
// sees them, the handset's as each burst is scheduled. Each direction draws from its own
// stream, so when the host sends does not change what happens to the replies.
//
// A host that stops in the middle of a download leaves the handset in its download module,
// waiting for it as long as it takes: nothing times out there, and what the module does not
// know is refused as ever. A power cycle drops everything in progress and boots the handset
// into its boot download mode at dload-baud (an EMERGENCY handset) when its flash was left
// incomplete: an erase or a block write since the start or the last completed download (the
// final jump's ACK out); else as start says. The flash keeps what was written.
//
// The handset notes a host that does not wait: a frame that comes while a reply is still
// owed (not all of it has reached the host by the frame's arrival: the handset is still at
// work, or bursts of it, split parts included, are not yet due; a dup or an extra reply the
// handset adds is nothing a host could know to wait for) and that is
// not the very request the reply answers is marked in its record and counted. Frames that
// get no answer (silent, ToDM step 3, hang-up) leave nothing owed.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "BitErrors.h"
#include "HandsetWire.h"
#include "NorFlash.h"
#include "Scenario.h"
#include "UsbAdapter.h"

namespace sim {

enum class HandsetMode { ToDmOnly, Dm, DmOffline, Download, Module, HungUp };
const char* ModeName(HandsetMode mode);

struct Burst {
  uint64_t dueMs = 0;
  std::vector<uint8_t> bytes;
  uint32_t baud = 0;          // the handset's speed as it sends them
  bool endsDownload = false;  // the last burst of the final jump's ACK
};

enum class FrameCheck { Ok, Bad, NotChecked };

// One frame received from the host, and what the handset made of it.
struct FrameRecord {
  uint64_t timeMs = 0;
  uint32_t baud = 0;
  HandsetMode mode = HandsetMode::Dm;
  uint8_t opening = 0;  // 0x7E or 0x7F when one opened the frame, else 0
  int toDmStep = -1;    // 0..3 for a ToDM sequence
  std::vector<uint8_t> bytes;  // decoded payload; raw bytes for ToDM and undecodable frames
  FrameCheck check = FrameCheck::NotChecked;
  std::string outcome;  // "reply", "silent (scenario)", "nak A1 (scenario)", "hang-up", ...
  bool whileOwed = false;  // came while a reply to another request was owed
  // The cable's bit errors changed its bytes and its FCS-16 held all the same (about one damaged
  // frame in 65,536): a request the host never sent, which no host on this protocol can tell.
  bool forged = false;
};
std::string FormatRecord(const FrameRecord& rec);

class CHandsetModel {
 public:
  static constexpr size_t kDefaultFlashSize = size_t{16} << 20;
  static constexpr size_t kMaxPayload = 4103;  // a block write

  explicit CHandsetModel(CScenario scenario = {}, size_t flashSize = kDefaultFlashSize);

  // Bytes the host put on the line at hostBaud; nowMs is when the last of them arrived.
  void OnHostBytes(const uint8_t* data, size_t n, uint32_t hostBaud, uint64_t nowMs);
  // Bursts due by nowMs, in order, as the host's reads get them: with an adapter in the
  // scenario its hand-overs, else the bursts as they go on the line.
  std::vector<Burst> TakeDue(uint64_t nowMs);
  std::optional<uint64_t> NextDueMs() const;
  // The bursts as they go on the line, for a runner that times the line and models the
  // adapter itself. Either pair of calls drains both queues by time.
  std::vector<Burst> TakeLineDue(uint64_t nowMs);
  std::optional<uint64_t> NextLineDueMs() const;
  // Whether reply bytes take their line time before they reach the adapter: so in process
  // and in a paced runner; a runner that writes a burst in one go says false.
  void SetOutputLineTime(bool on) { m_outputLineTime = on; }
  // Applies a mode change that is due; the calls above do it themselves.
  void Advance(uint64_t nowMs);

  // Off and on at nowMs, as described above; true when it booted into download mode because
  // the flash was left incomplete.
  bool PowerCycle(uint64_t nowMs);
  // Erased or written since the start or since the last completed download.
  bool FlashIncomplete(uint64_t nowMs) const;

  HandsetMode Mode() const { return m_mode; }
  uint32_t Baud() const { return m_baud; }
  bool HungUp() const { return m_mode == HandsetMode::HungUp; }
  uint32_t DownloadsCompleted() const { return m_downloads; }
  uint64_t NoiseBytes() const { return m_noiseBytes; }  // host bytes nobody understood
  // Frames the host sent while a reply to another request was owed.
  uint32_t RequestsWhileOwed() const { return m_whileOwed; }
  // Bits the noisy cable flipped, each way.
  uint64_t BitsFlippedFromHost() const { return m_hostNoise.Flipped(); }
  uint64_t BitsFlippedToHost() const { return m_replyNoise.Flipped(); }
  // What the cable will do to the host's next bytes: a copy may be run ahead (NextMask) to
  // learn where flags will be once they arrive.
  const CBitErrors& HostLineNoise() const { return m_hostNoise; }

  const CNorFlash& Flash() const { return m_flash; }
  bool SaveFlash(const std::string& path) const { return m_flash.Save(path); }
  const CScenario& Scenario() const { return m_scenario; }

  const std::vector<FrameRecord>& Records() const { return m_records; }
  // Called with each record as it is made (for writing it to a file as it happens).
  void SetRecordSink(std::function<void(const FrameRecord&)> sink) { m_sink = std::move(sink); }

 private:
  struct Transition {
    uint64_t atMs = 0;
    HandsetMode mode = HandsetMode::Dm;
    uint32_t baud = 0;
  };
  struct Response {
    bool send = true;
    std::vector<uint8_t> payload;
    uint32_t workMs = 0;  // busy this long before answering
    std::optional<HandsetMode> nextMode;
    uint32_t nextBaud = 0;
    uint32_t switchMs = 0;
    bool endsDownload = false;
  };

  struct Span {
    uint64_t fromMs = 0;
    uint64_t untilMs = 0;
  };
  // Damaged copies of a reply, one every periodMs after it, until the host's next frame after it.
  struct Chatter {
    uint64_t fromMs = 0;  // the reply is out
    uint64_t nextMs = 0;
    uint32_t periodMs = 0;
    uint32_t left = 0;
    uint32_t baud = 0;
    std::vector<uint8_t> bytes;
  };
  static constexpr uint32_t kMaxChatter = 100000;
  std::optional<uint64_t> EarlierChatter(std::optional<uint64_t> next) const;

  static Response Reply(std::vector<uint8_t> payload);
  void Boot(StartMode start);
  // Takes one byte into the receive FIFO at nowMs: true when it overruns (busy and full).
  bool Overruns(uint64_t nowMs);
  void HandleFrame(RawFrame frame, bool overran, uint64_t nowMs);
  void HandleOverrun(const RawFrame& frame, FrameRecord rec, ReplyCheck check, uint64_t nowMs);
  void TouchFlash();
  void HandleToDm(const RawFrame& frame, uint64_t nowMs);
  // Counts the request and applies hang-up, silence and NAK rules; false when it ends there.
  bool CountAndFilter(ReqKind kind, FrameRecord& rec, uint64_t nowMs, ReplyCheck check);
  Response Dm(const std::vector<uint8_t>& req);
  Response DownloadBoot(const std::vector<uint8_t>& req);
  Response DownloadModule(const std::vector<uint8_t>& req);
  void Answer(const Response& r, ReqKind kind, ReplyCheck check, uint64_t nowMs);
  // The burst goes out at baud: the handset's own speed unless a speed rule says otherwise.
  void Schedule(uint64_t dueMs, std::vector<uint8_t> bytes, bool endsDownload, uint32_t baud);
  void TakeHandovers();
  void DropDue(uint64_t nowMs);
  // Marks rec when it came while a reply to another request was owed; rec.bytes is set.
  // damaged: the frame failed its check (a resend the line spoiled still counts as the resend).
  void CheckOwed(FrameRecord& rec, uint64_t nowMs, bool damaged = false, bool lineChanged = false);
  uint64_t BytesOutBy(uint64_t nowMs) const;
  void Enter(HandsetMode mode, uint32_t baud);
  void Record(FrameRecord rec);
  ReplyCheck CurrentCheck() const;
  uint64_t ReplyBaseMs(uint64_t nowMs) const;
  uint64_t WireMs(size_t bytes, uint32_t baud) const;
  std::vector<uint8_t> MakeNoise(uint32_t count);

  CScenario m_scenario;
  CNorFlash m_flash;
  HandsetMode m_mode;
  uint32_t m_baud;
  std::optional<Transition> m_pending;
  CFrameSplitter m_splitter;
  bool m_hunting = false;  // download bytes were lost: wait for a flag before a frame
  bool m_overran = false;  // the frame coming in lost bytes to a full FIFO
  std::deque<Span> m_flashWork;  // busy spans ahead, in order (busy=drop|nak only)
  uint64_t m_fifoSpanEnd = 0;    // the span the FIFO's count is of
  uint32_t m_fifoBytes = 0;
  CBitErrors m_hostNoise;   // host to handset
  CBitErrors m_replyNoise;  // handset to host
  std::vector<uint8_t> m_heard;  // the host's bytes as the cable left them
  bool m_lineChanged = false;    // the cable changed a byte of the frame in progress
  std::vector<Burst> m_bursts;  // as the host gets them, in due order
  std::optional<CUsbAdapter> m_adapter;
  std::deque<Burst> m_lineBursts;  // with an adapter: as they go on the line
  bool m_outputLineTime = true;
  uint64_t m_lineFreeMs = 0;    // the last scheduled burst is out by then
  uint64_t m_bytesScheduled = 0;  // reply bytes ever scheduled
  uint64_t m_bytesOut = 0;        // of them, taken or dropped from m_bursts and the adapter
  uint64_t m_owedUpTo = 0;        // m_bytesScheduled once the last reply was scheduled
  std::vector<uint8_t> m_owedFor;  // the frame that reply answers
  bool m_owedForDamaged = false;   // ... which the line had damaged
  bool m_owedForPiece = false;     // ... or was a piece of a request the line made
  bool m_requestDamaged = false;   // the frame in hand (m_request) came damaged
  bool m_requestPiece = false;     // ... or without its opening flag
  std::vector<uint8_t> m_request;  // the frame being handled
  uint32_t m_whileOwed = 0;
  uint64_t m_busyUntilMs = 0;   // requests are served one after the other
  uint32_t m_counts[kReqKindCount] = {};
  uint32_t m_lastN = 0, m_lastAny = 0;  // counts of the request being answered
  bool m_moduleCopied = false;
  std::optional<uint32_t> m_moduleBaud;
  uint32_t m_downloads = 0;
  bool m_flashTouched = false;  // erased or written since the start or the last download
  std::optional<uint64_t> m_completesAtMs;  // when the final jump's ACK is out
  std::optional<Chatter> m_chatter;
  uint64_t m_noiseBytes = 0;
  uint32_t m_noiseState = 0x9E3779B9u;
  std::vector<FrameRecord> m_records;
  std::function<void(const FrameRecord&)> m_sink;
};

}  // namespace sim
