// The receive path: bytes cut into reads of any size, any silence between them, in every framing
// state, with the reply-check learning reset and the state changed between reads as the window
// does between commands.
//
// Input: a list of operations, each a byte followed by its arguments:
//   0 gap len bytes...   one read of len bytes after GapMs(gap) of silence
//   1 state              the framing: state % 4 (raw 9600, download, DM CRC-30, DM plain)
//   2                    a new command: the reply checks learn afresh
//   3 gap lenLo lenHi .. one long read (up to 2047 bytes)
#include "FuzzLink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::CReader in(data, size);
  fuzz::CFuzzLink link;
  link.Set(fuzz::Rx::DmCrc30);  // as the link starts
  // Nothing is sent here: a reply can only say that nothing had left.
  link.onReply = [](const RxPacket& p) { FUZZ_CHECK(p.hostBytesOut == 0, "bytes out without a send"); };
  while (!in.Empty()) {
    switch (in.U8() % 4) {
      case 0: {
        link.now += fuzz::GapMs(in.U8());
        link.Read(in.Bytes(in.U8()));
        break;
      }
      case 1:
        link.Set(static_cast<fuzz::Rx>(in.U8() % 4));
        break;
      case 2:
        link.comm->ResetReplyChecks();
        break;
      case 3: {
        link.now += fuzz::GapMs(in.U8());
        link.Read(in.Bytes(in.U16() % 2048));
        break;
      }
    }
  }
  return 0;
}
