// The receive path: bytes cut into reads of any size, any silence between them, in every framing
// state, with the state changed between reads as the window does between commands. Where the line never fell silent and nothing changed between reads,
// the replies must be the same as when all the bytes come in one read.
//
// Input: a list of operations, each a byte followed by its arguments:
//   0 gap len bytes...   one read of len bytes after GapMs(gap) of silence
//   1 state              the framing: state % 4 (raw 9600, download, DM CRC-30, DM plain)
//   2                    nothing (once a new command; the link keeps nothing of a command now)
//   3 gap lenLo lenHi .. one long read (up to 2047 bytes)
#include "FuzzLink.h"

namespace {

struct Reply {
  std::vector<uint8_t> bytes;
  uint8_t checkSize;
  bool operator==(const Reply&) const = default;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::CReader in(data, size);
  fuzz::Rx first = fuzz::Rx::DmCrc30;  // as the link starts
  std::vector<uint8_t> stream;         // every byte read, in order
  std::vector<Reply> replies;
  bool readBegun = false;
  bool onlyCuts = true;  // no silence, no state change and no reset once bytes came
  {
    fuzz::CFuzzLink link;
    link.Set(first);
    link.onReply = [&](const RxPacket& p) {
      // Nothing is sent here: a reply can only say that nothing had left.
      FUZZ_CHECK(p.hostBytesOut == 0, "bytes out without a send");
      replies.push_back({{p.bytes.begin(), p.bytes.begin() + p.size}, p.checkSize});
    };
    const auto read = [&](uint64_t gap, const std::vector<uint8_t>& bytes) {
      link.now += gap;
      if (readBegun && gap > CBssComm::kInterByteLimitMs) onlyCuts = false;
      readBegun = true;
      stream.insert(stream.end(), bytes.begin(), bytes.end());
      link.Read(bytes);
    };
    while (!in.Empty()) {
      switch (in.U8() % 4) {
        case 0: {
          const uint64_t gap = fuzz::GapMs(in.U8());
          read(gap, in.Bytes(in.U8()));
          break;
        }
        case 1:
          link.Set(static_cast<fuzz::Rx>(in.U8() % 4));
          if (readBegun) onlyCuts = false; else first = link.rx;
          break;
        case 2:
          break;  // once a new command; the link keeps nothing of a command now
        case 3: {
          const uint64_t gap = fuzz::GapMs(in.U8());
          read(gap, in.Bytes(in.U16() % 2048));
          break;
        }
      }
    }
  }
  if (!onlyCuts || stream.empty()) return 0;
  // One link at a time: the first is gone before this one claims the link flags.
  fuzz::CFuzzLink whole;
  whole.Set(first);
  std::vector<Reply> again;
  whole.onReply = [&](const RxPacket& p) { again.push_back({{p.bytes.begin(), p.bytes.begin() + p.size}, p.checkSize}); };
  whole.Read(stream);
  FUZZ_CHECK(again == replies, "the replies depend on how the bytes were cut into reads");
  return 0;
}
