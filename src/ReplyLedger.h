#pragma once
// Which sends of the request in hand still owe a reply. Replies in download mode name no
// request, and a request that timed out is sent again, so after a resend two replies may come.
// The handset works through requests in order, so replies are matched to sends oldest first;
// a reply that came before a send's last byte had left the host cannot be that send's answer
// (it answers an earlier one: a late or a duplicate reply). All on the UI thread.
#include <cstddef>
#include <cstdint>
#include <deque>

class CReplyLedger {
 public:
  enum class Match {
    Answers,   // the reply answers the oldest send still owed
    TooEarly,  // it arrived before any owed send had left: it answers an earlier request
    Nothing,   // no reply was owed
  };

  // Forgets every send: a new command, or the owed replies were given up on.
  void Reset();
  // A send of the request in hand whose last byte is at txEnd of the host's output.
  void OnSend(uint64_t txEnd);
  // A well-formed reply that arrived when hostBytesOut of the host's bytes had left.
  Match OnReply(uint64_t hostBytesOut);
  // The owed replies are given up on: counted as written off, no longer owed.
  void WriteOff();

  size_t Owed() const { return m_owed.size(); }
  // Totals since Reset, for the trace and the out-of-step guard.
  uint32_t Sends() const { return m_sends; }
  uint32_t Replies() const { return m_replies; }
  uint32_t WrittenOff() const { return m_writtenOff; }

 private:
  std::deque<uint64_t> m_owed;  // end positions of the sends still owed, oldest first
  uint32_t m_sends = 0;
  uint32_t m_replies = 0;
  uint32_t m_writtenOff = 0;
};
