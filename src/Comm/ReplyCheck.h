#pragma once
// Whether the two bytes that end a reply are its FCS-16. Replies of the plain DM variant and of
// download mode end in two check bytes; the handsets we know make them the FCS-16 of the bytes
// before them, as the requests carry it, but a handset with some other check must still work.
// Each command starts not knowing: the first reply whose FCS-16 matches settles it for the rest
// of the command (then a mismatch is a damaged reply); two mismatches in a row with no match
// settle it the other way (the first of them is rejected, so a reply damaged by noise is never
// what decides). The receive thread judges; the window resets at the start of a command.
#include <atomic>
#include <cstdint>

class CReplyCheck {
 public:
  enum class Kind : uint8_t { Unknown, Fcs16, Other };
  enum class Verdict : uint8_t { Verified, Unverified, Rejected };

  // Receive thread: the verdict on one reply whose FCS-16 did or did not match.
  Verdict Judge(bool fcsMatches);
  // Any thread.
  void Reset();
  Kind Get() const { return m_kind.load(); }

 private:
  std::atomic<Kind> m_kind{Kind::Unknown};
  std::atomic<uint8_t> m_mismatches{0};
};
