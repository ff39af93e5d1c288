// Requests out and replies in on one link: each reply is stamped with how much of what was sent
// had left the host, from the count handed to the device and the device's PendingOutput. Sent
// frames are checked byte for byte, and fed back as replies where the framing allows: what the
// link sends, it must read back as the same bytes.
//
// Input: a list of operations, each a byte followed by its arguments:
//   0 gap len bytes...    one read of len bytes after GapMs(gap) of silence
//   1 state               the framing: state % 4 (raw 9600, download, DM CRC-30, DM plain)
//   2                     nothing (once a new command)
//   3 lenLo lenHi bytes.. a request of (len % 4300) bytes, zero-padded past the input's end
//   4 u32                 what the device reports as still pending
//   5 n                   the next device write takes only n bytes
//   6 gap                 the last frame sent comes back as a reply after GapMs(gap)
#include <algorithm>

#include "FuzzLink.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const Bytes& payload, fuzz::Rx rx) {
  Bytes body(payload);
  const uint16_t fcs = crc::Fcs16(payload.data(), payload.size());
  body.push_back(static_cast<uint8_t>(fcs & 0xFF));
  body.push_back(static_cast<uint8_t>(fcs >> 8));
  Bytes frame;
  if (rx == fuzz::Rx::Dload) frame.push_back(CBssComm::kFlag);
  if (rx == fuzz::Rx::DmCrc30) frame.push_back(CBssComm::kDmFlag);
  for (uint8_t b : body) {
    if (CBssComm::NeedEscape(b)) {
      frame.push_back(CBssComm::kEscape);
      frame.push_back(static_cast<uint8_t>(b ^ CBssComm::kEscapeXor));
    } else {
      frame.push_back(b);
    }
  }
  frame.push_back(CBssComm::kFlag);
  return frame;
}

struct LastSend {
  Bytes payload;     // after the link's cut to its largest packet
  Bytes frame;       // as it should be on the wire
  bool whole = false;  // every byte reached the device
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::CReader in(data, size);
  fuzz::CFuzzLink link;
  link.Set(fuzz::Rx::DmCrc30);
  FUZZ_CHECK(link.comm->Open(), "the in-memory device opens");
  link.onReply = [&link](const RxPacket& p) {
    const uint64_t handed = link.comm->GetTxEnd();
    const uint64_t pending = link.dev->pending;
    FUZZ_CHECK(p.hostBytesOut == (handed > pending ? handed - pending : 0), "a reply stamped wrongly");
  };
  LastSend last;
  int failAfter = -1;
  while (!in.Empty()) {
    switch (in.U8() % 7) {
      case 0:
        link.now += fuzz::GapMs(in.U8());
        link.Read(in.Bytes(in.U8()));
        break;
      case 1:
        link.Set(static_cast<fuzz::Rx>(in.U8() % 4));
        break;
      case 2:
        break;  // once a new command; the link keeps nothing of a command now
      case 3: {
        const size_t len = in.U16() % 4300;
        Bytes payload = in.Bytes(len);
        payload.resize(len);
        const uint64_t before = link.comm->GetTxEnd();
        const size_t wroteBefore = link.dev->written.size();
        link.comm->SendPacket(payload.data(), static_cast<uint16_t>(len));

        payload.resize(std::min(len, CBssComm::kMaxPacket));
        Bytes expected = Encode(payload, link.rx);
        const Bytes wrote(link.dev->written.begin() + static_cast<std::ptrdiff_t>(wroteBefore),
                          link.dev->written.end());
        FUZZ_CHECK(link.comm->GetLastFrameBytes() == expected.size(), "frame size");
        // A byte that fails is lost and counted as handed over, like one that went.
        FUZZ_CHECK(link.comm->GetTxEnd() - before == expected.size(), "bytes handed over");
        const bool lost = failAfter >= 0 && static_cast<size_t>(failAfter) <
                                                std::min(expected.size(), CBssComm::kWriteChunk);
        last = {payload, expected, !lost};
        if (lost) expected.erase(expected.begin() + failAfter);
        FUZZ_CHECK(wrote == expected, "the bytes on the wire");
        failAfter = -1;
        link.dev->FailNextWriteAfter(-1);
        if (!payload.empty()) FUZZ_CHECK(link.comm->GetLastCmd() == payload[0], "the last command");
        break;
      }
      case 4:
        link.dev->pending = in.U32();
        break;
      case 5:
        failAfter = in.U8();
        link.dev->FailNextWriteAfter(failAfter);
        break;
      case 6: {
        const uint64_t gap = fuzz::GapMs(in.U8());
        if (!last.whole) break;
        std::vector<Bytes> got;
        std::vector<RxCheck> checks;
        auto stamp = link.onReply;
        link.onReply = [&](const RxPacket& p) {
          stamp(p);
          got.emplace_back(p.bytes.begin(), p.bytes.begin() + p.size);
          checks.push_back(p.check);
        };
        // After the silence limit, so that nothing half assembled joins the frame.
        link.now += std::max<uint64_t>(gap, CBssComm::kInterByteLimitMs + 1);
        link.Read(last.frame);
        link.onReply = stamp;

        Bytes body = last.payload;
        const uint16_t fcs = crc::Fcs16(body.data(), body.size());
        body.push_back(static_cast<uint8_t>(fcs & 0xFF));
        body.push_back(static_cast<uint8_t>(fcs >> 8));
        // The frame was framed for the state it was sent in, which may not be the one now. Inside
        // it no byte is a flag: those are escaped.
        const bool opening = last.frame[0] == CBssComm::kFlag || last.frame[0] == CBssComm::kDmFlag;
        const Bytes escaped(last.frame.begin() + opening, last.frame.end() - 1);
        const bool fits = escaped.size() <= static_cast<size_t>(CBssComm::kRxFrameSize);
        const auto prefix = [](const Bytes& b) {
          return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), kRxBufSize)));
        };
        bool delivered = false;
        switch (link.rx) {
          case fuzz::Rx::DmPlain:
          case fuzz::Rx::Dload:
            delivered = fits;  // too short for a reply, it still goes on, marked damaged
            break;
          case fuzz::Rx::Raw9600:
            // Raw keeps the escapes: the frame as sent, without its flag.
            FUZZ_CHECK(got.size() == (fits ? 1u : 0u), "a raw echo");
            if (fits) {
              FUZZ_CHECK(got[0] == prefix(escaped), "a raw echo's bytes");
            }
            break;
          case fuzz::Rx::DmCrc30:
            break;  // FCS-16 framed: a CRC-30 reply only by chance
        }
        if (link.rx == fuzz::Rx::DmPlain || link.rx == fuzz::Rx::Dload) {
          FUZZ_CHECK(got.size() == (delivered ? 1u : 0u), "an echo delivered or not");
          if (delivered && body.size() >= 3) {
            FUZZ_CHECK(checks[0] == RxCheck::FcsMatch, "an echo whose FCS-16 does not match");
            FUZZ_CHECK(got[0] == prefix(body), "an echo's bytes");
          }
          if (delivered && body.size() < 3) FUZZ_CHECK(checks[0] == RxCheck::Damaged, "a short echo not marked damaged");
        }
        break;
      }
    }
  }
  return 0;
}
