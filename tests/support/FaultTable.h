#pragma once
// The fault table: every step of every command where the handset can misbehave, every way it
// can, and the end the engine must reach for each. Shared by the virtual-time suite and its pty
// subset, which run the cases their own way.
//
// A step is one request of a clean run, named the way the simulated handset counts requests
// (the n-th of its kind); a fault is one rule of the handset's scenario aimed at that request.
// What the engine must do follows from a few rules, not from a list of answers:
//   - a request that goes unanswered or draws a DM error is sent again when its reply time runs
//     out; after 3 sends (5 for the version, whose 2nd expiry toggles speed and framing) it
//     gives up, except a block, whose 3rd expiry erases the range again and starts over, three
//     times at most; the version of a download then falls back to the ToDM sequence;
//   - a NAK in download mode sends the request again at once, up to 10 sends in all;
//   - a reply that is lost after the handset acted on the request (spoiled by noise or a bad
//     check, or sent at another speed) is as good as none, and a resend reaches the handset
//     only where it still is: not after the download-mode switch or a jump;
//   - a reply split under the link's inter-byte limit, a duplicate and two replies in one read
//     are taken once; a late reply answers the first send and the resend's own is waited for
//     (when the handset was still where the resend could reach it);
//   - in download mode a reply that contradicts the one taken, or any reply after the final
//     jump's, means the replies no longer match the requests;
//   - a handset whose replies fail FCS-16 twice from the first is taken to use another check;
//   - a handset still at work when the reply time runs out answers the first send late; the
//     resend, lost or refused while it worked, is waited for before the next request.
#include <cstdint>
#include <string>
#include <vector>

#include "EngineEvents.h"
#include "support/WireRecorder.h"

namespace faults {

enum class Command { Download, Info, ToDm };
enum class Variant { Crc30, Plain };  // the handset's DM framing and speed

struct Step {
  std::string name;      // for the labels: "version", "block 8 (middle)"
  std::string kind;      // the simulator's request kind
  uint32_t nth = 1;      // the request's number among its kind in a clean run
  int cmd = -1;          // the request's command byte, or
  int toDmStep = -1;     // 0..3 for a ToDM sequence
  bool dm = false;       // answered in DM framing
  bool version = false;  // the version request (toggle, five expiries)
  bool answered = true;  // the last ToDM sequence gets no reply
  bool movesHandset = false;  // done, it leaves the handset where a resend cannot reach it
  bool block = false;
  uint32_t replyMs = 3000;    // how long the engine waits for its reply
};

enum class FaultKind {
  Silent,         // the request is lost
  Nak,            // refused with a code, not done
  BadCrc30,       // the reply's CRC-30 is wrong (CRC-30 DM handset)
  BadFcs16,       // the reply's FCS-16 is wrong (plain DM handset, download mode)
  Split,          // the reply in two pieces 40 ms apart
  Noise,          // three noise bytes lead the reply in its read
  Late,           // the reply comes after the resend has gone
  LateBoth,       // that, and the resend's own reply 600 ms late
  Duplicate,      // the reply again 20 ms after it
  TwoInOneRead,   // the reply twice in one read
  Contradiction,  // another reply right behind it in the same read
  HangUp,         // the handset goes away
  WrongSpeed,     // the reply goes out at another line speed
  BusyDeaf,       // the work outlasts the reply time; frames that come meanwhile are lost
  BusyRefusing,   // the same, and frames that come meanwhile are answered A1 after it
};
enum class Span { Once, Twice, Thrice, ForGood };

struct Fault {
  FaultKind kind = FaultKind::Silent;
  Span span = Span::Once;
  uint8_t code = 0;  // Nak
};

struct Case {
  Command command = Command::Download;
  int type = 0;                 // TYPE_NORMAL ...
  bool startInToDm = false;     // the handset hears only the ToDM sequences at first
  Step step;
  Fault fault;
  Variant variant = Variant::Crc30;

  // The fault as a simulator rule.
  std::string Rule() const;
  std::string Label() const;
};

// How the end is reached.
enum class Path {
  Direct,     // no more sends of the step's request than a clean run has
  Resend,     // `extraSends` more
  NewErase,   // the range erased again and written from the start
  GiveUp,     // the same request sent `limit` times in a row, then "응답이 없습니다."
  LineBroke,
  OutOfStep,
};

// The request the engine gives up on.
enum class GiveUpOn { TheStep, ToDmStep0, Version };

struct Expectation {
  Outcome outcome = Outcome::Completed;
  Path path = Path::Direct;
  int extraSends = 0;
  int limit = 0;
  GiveUpOn on = GiveUpOn::TheStep;
  bool toDmFallBack = false;  // the download's version gave way to the ToDM sequence
};

Expectation Expect(const Case& c);

// The steps of a download of this type (the DM phase for NORMAL, FONT and CHANGE(NORMAL)).
std::vector<Step> DownloadSteps(int type, int blocks);
// The four ToDM sequences.
std::vector<Step> ToDmSteps();
Step InfoVersionStep();
// The faults that mean something at a step: DM error codes where DM replies come, download
// NAKs in download mode, check faults where the reply has that check.
std::vector<Fault> FaultsFor(const Step& step);
// The variant a fault needs: a bad FCS-16 on a DM reply needs the plain handset.
Variant VariantFor(const Step& step, const Fault& fault);

const char* TypeName(int type);
std::string FaultName(const Fault& fault);

// The host's requests as the handset would cut them from the line: payload without its
// check bytes (of a block write its head only: command, address and length), or the ToDM
// sequence's number.
struct HostRequest {
  uint64_t timeMs = 0;
  uint32_t baud = 0;
  int toDmStep = -1;
  std::vector<uint8_t> payload;
  bool operator==(const HostRequest& o) const { return toDmStep == o.toDmStep && payload == o.payload; }
};
std::vector<HostRequest> HostRequests(const std::vector<WireWrite>& writes);
bool IsStepRequest(const HostRequest& r, const Step& step);
// How many of the last requests are the same request as the last one.
int TrailingRepeats(const std::vector<HostRequest>& requests);
std::string Describe(const HostRequest& r);

}  // namespace faults
