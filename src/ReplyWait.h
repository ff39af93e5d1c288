#pragma once
// What the engine waits for, and what each send of the request in hand is still owed: the one
// place that decides when the next request may go.
//
// Download-mode replies name no request, and a request whose reply time ran out is sent again,
// so several replies may be owed at once. The handset works through frames in order, so
// replies are matched to sends oldest first, and a reply that came before a send's last byte
// had left the host cannot answer it. A timer may give up on a reply but never forgets one:
// the next request goes only once nothing is owed, either because every owed reply came or
// because the line has been quiet for longer than the slowest answer this handset has given
// (QuietMs). Until then replies are matched to the sends they answer, never to a newer request.
//
// All on the window's thread; pure logic: the engine tells it the time, it arms no timer.
#include <cstddef>
#include <cstdint>
#include <deque>

class CReplyWait {
 public:
  enum class State : uint8_t {
    Idle,    // nothing awaited
    Reply,   // the request in hand awaits its answer (its reply timer runs)
    Drain,   // answered; replies owed by its other sends are awaited before the next request
    GiveUp,  // no more sends of it; owed replies awaited before what a give-up does
    Settle,  // a short wait before a short request, in which a second ACK of the last is a duplicate
    Retry,   // refused: a short wait before it goes again, in which any ACK means the replies
             // are out of step (it would answer a send the engine took the NAK for)
    Listen,  // after the final jump's ACK: no reply may come now
    Confirm, // the first answer after replies were written off: were it a late one, the real
             // one would follow within the handset's time, so none may come before going on
  };
  // What the engine does after a reply.
  enum class Next : uint8_t {
    Wait,      // keep waiting (the engine re-arms the quiet timer in Drain and GiveUp)
    Advance,   // the request is done and nothing is owed: the next request may go
    SendAgain, // refused, nothing else owed: the handset waits for the request again
    GiveUp,    // given up and nothing owed any more: do what a give-up does
  };
  enum class Match : uint8_t {
    Answers,  // the reply answers the oldest owed send
    TooEarly, // it came before any owed send had left: it answers an earlier request
    Nothing,  // nothing is owed
  };
  // Requests by how long the handset takes over them: their answers teach the quiet time.
  enum class Work : uint8_t { Short, Erase, Block };
  static constexpr size_t kWorkKinds = 3;
  // A request may go to the handset this many times in all, refusals included: a line that
  // spoils a third of the blocks all but never spoils one ten times running, and a handset that
  // refuses everything is given up on within seconds.
  static constexpr uint32_t kMaxSends = 10;

  // A command starts, or everything is over: nothing owed, nothing learnt.
  void Reset();
  // A new request went out (nothing may be owed: the caller waited). expectsReply false for a
  // request that is never answered.
  // lineMs: the line time of its bytes at the port's speed.
  void OnNewRequest(Work work, uint64_t txEnd, uint64_t nowMs, bool expectsReply = true, uint64_t lineMs = 0);
  // The request in hand went again.
  void OnResend(uint64_t txEnd, uint64_t nowMs, uint64_t lineMs = 0);
  // Nothing sent so far can be answered in a way that could still be read (a speed change).
  void WriteOff();

  // Which send a well-formed reply answers, without taking it.
  Match Classify(uint64_t hostBytesOut) const;
  // The reply answers the oldest owed send (Classify said Answers). accepted: an ACK or the DM
  // reply asked for; refusalWantsResend: a NAK of a download-mode request (the handset waits
  // for it again), as opposed to an error that leaves the decision to the reply timer.
  // hostBytesOut: how much the host had sent when the reply came (which of the owed sends it
  // could answer).
  Next OnAnswer(bool accepted, bool refusalWantsResend, uint64_t nowMs, uint64_t hostBytesOut = UINT64_MAX);
  // A frame arrived that could not be read (a damaged reply, noise): the line is not quiet.
  void OnActivity(uint64_t nowMs) {
    m_lastActivityMs = nowMs;
    m_heard = true;
  }

  // The reply timer ran out for good (or the sends ran out): no more sends. GiveUp when nothing
  // is owed any more.
  Next OnGiveUp(uint64_t nowMs);
  // The quiet time passed with replies still owed: they are written off.
  void OnQuiet();
  // Short waits with nothing owed.
  void BeginSettle() { m_state = State::Settle; }
  void BeginRetry() { m_state = State::Retry; }
  void BeginListen() { m_state = State::Listen; }
  void BeginConfirm() { m_state = State::Confirm; }
  // The request in hand went after owed replies were written off: its answer may be a late one.
  bool Suspect() const { return m_suspect; }
  // How long to listen after such an answer: twice the slowest answer of its kind, the
  // written-off request's included.
  uint32_t ConfirmMs(uint32_t leastMs) const;
  void EndWait() { m_state = State::Idle; }

  State GetState() const { return m_state; }
  bool Answered() const { return m_answered; }
  size_t Owed() const { return m_owed.size(); }
  // Sends of the request in hand (the first one included), across answers later revoked.
  uint32_t Sends() const { return m_sends; }
  // Whether the oldest owed send had left the host when hostBytesOut had.
  bool OldestOwedHasLeft(uint64_t hostBytesOut) const;
  Work RequestWork() const { return m_work; }
  // The slowest answer of this kind in this command that can only have answered the send it
  // was matched to, or, where a later send could have been answered, timed from that one: the
  // least the handset may have taken (0 before one came). Lost replies never make a prompt
  // handset look slow.
  uint64_t SlowestMs(Work work) const { return m_slowestMs[static_cast<size_t>(work)]; }
  // The most the handset may have taken over an answer to the request in hand (or, for a
  // request that follows a write-off, to the one written off): a busy handset works through
  // its queue, so each send's work is timed from its own send or the answer before it,
  // whichever is later, and an answer that could be either of two sends is timed from the
  // earlier.
  uint64_t LocalSlowestMs() const { return m_localSlowMs; }
  // How long a request of this kind is given for its answer: its own period, or twice the
  // slowest answer seen, up to four periods.
  uint32_t ReplyMs(Work work, uint32_t periodMs) const;
  // How long the line must be quiet before owed replies are written off, and since when. A
  // handset that went silent on every send of a request may be stalled: before anything else
  // goes it is given four periods, unless it was heard meanwhile.
  uint32_t QuietMs(uint32_t periodMs) const;
  uint64_t LastActivityMs() const { return m_lastActivityMs; }
  // A reply may come as late as its request is given before it is given up on: three periods
  // after its send's last byte crossed the line. Owed replies are written off only once that has
  // passed for every one of them, however quiet the line was before: were the next request
  // answered by a late one and its own answer lost, nothing after could show it. 0 when none
  // is owed.
  static constexpr uint64_t kLatePeriods = 3;
  uint64_t LateBoundMs(uint32_t periodMs) const;
  // Frames that cannot be read keep the line from falling quiet, but a wait for owed replies
  // does not go on for ever: past twice its quiet time since it began the request in hand goes
  // again (its sends bounded as ever), and when it may not, or the request has outlived its
  // periods, the command ends.
  uint64_t WaitDeadlineMs(uint32_t periodMs) const;
  // A request is waited for at most this many of its periods from its first send, whatever it
  // meets on the way: a bound on every download.
  static constexpr uint64_t kRequestPeriods = 12;
  bool Outlived(uint64_t nowMs, uint32_t periodMs) const { return nowMs >= m_requestSinceMs + kRequestPeriods * periodMs; }
  // The request in hand went again at the bound: the bound starts again from now.
  void RestartWaitBound(uint64_t nowMs) { m_waitBeganMs = nowMs; }

  // Totals since Reset, for the trace and the out-of-step guard.
  uint32_t TotalSends() const { return m_totalSends; }
  uint32_t Replies() const { return m_replies; }
  uint32_t WrittenOff() const { return m_writtenOff; }

 private:
  struct Send {
    uint64_t txEnd = 0;  // the host's byte count at its last byte
    uint64_t atMs = 0;
    bool first = false;  // the request's first send
    uint64_t lineMs = 0; // the line time of its bytes
  };
  // Owed sends that had left the host by hostBytesOut.
  size_t SendsLeftBy(uint64_t hostBytesOut) const;
  void Learn(const Send& send, uint64_t nowMs, uint64_t hostBytesOut);
  Next AfterAnswered(uint64_t nowMs);

  State m_state = State::Idle;
  Work m_work = Work::Short;
  std::deque<Send> m_owed;  // oldest first
  bool m_answered = false;
  bool m_heard = false;  // a frame came after the last send
  bool m_suspect = false;         // the request in hand follows a write-off
  bool m_writtenOffLast = false;  // the last wait ended in a write-off
  uint32_t m_sends = 0;
  uint64_t m_lastActivityMs = 0;
  uint64_t m_slowestMs[kWorkKinds] = {};
  uint64_t m_localSlowMs = 0;     // of the request in hand (kept over a write-off)
  uint64_t m_lastAnswerMs = 0;    // the last reply matched to a send
  uint64_t m_waitBeganMs = 0;     // the drain or give-up wait began
  uint64_t m_requestSinceMs = 0;  // the request in hand first went
  uint32_t m_totalSends = 0;
  uint32_t m_replies = 0;
  uint32_t m_writtenOff = 0;
};
