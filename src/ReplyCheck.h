#pragma once
// Whether the two bytes that end a reply are its FCS-16. Replies of the plain DM variant and of
// download mode end in two check bytes; the handsets we know make them the FCS-16 of the bytes
// before them, as the requests carry it, but a handset with some other check must still work.
//
// Each command starts not knowing, and only replies that answer a request in hand teach it
// (junk, strays and late replies of the earlier mode never do). The first answer whose FCS-16
// matches settles it: every later reply is verified and a mismatch is a damaged reply. Another
// check is settled by two answers that are the same bytes and both fail FCS-16: noise never
// damages two replies the same way, while a handset with another check gives the same bytes for
// the same answer (every ACK is one code and the same two check bytes), and only by frames of a
// size a reply of that kind can have: junk of another size never teaches it. Until then a
// mismatch is taken as damaged. A reply that matches FCS-16 after "other check" was settled
// shows the two that settled it were junk, not replies: the check goes back to FCS-16 and the
// caller learns that answers were taken unchecked for nothing (Revoked). Window thread only.
#include <cstddef>
#include <cstdint>
#include <vector>

class CReplyCheck {
 public:
  enum class Kind : uint8_t { Unknown, Fcs16, Other };
  enum class Verdict : uint8_t {
    Verified,    // its FCS-16 matched
    Unverified,  // a handset with another check: taken as it is
    Damaged,     // not to be read
  };

  // A reply that answers a request in hand; bytes and size include the check bytes.
  // canTeachOther: the frame has the size of a reply of its kind.
  Verdict JudgeAnswer(const uint8_t* bytes, size_t size, bool fcsMatches, bool canTeachOther = true);
  // A frame that answers nothing in hand: judged by what is known, teaching nothing.
  Verdict JudgeStray(bool fcsMatches);
  // The last JudgeAnswer settled "other check" on a repeat: the answer before it was one too.
  bool SettledOnRepeat() const { return m_settledOnRepeat; }
  // The last judgement took "other check" back: what was taken unchecked cannot be trusted.
  bool Revoked() const { return m_revoked; }
  void Reset();
  Kind Get() const { return m_kind; }

 private:
  Kind m_kind = Kind::Unknown;
  std::vector<uint8_t> m_mismatch;  // the last answer that failed FCS-16 while unknown
  bool m_settledOnRepeat = false;
  bool m_revoked = false;
};
