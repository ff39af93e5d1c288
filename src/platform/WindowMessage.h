#pragma once
// Window messages posted to the main window, and the interface through which any thread posts them.
#include <array>
#include <cstddef>
#include <cstdint>

constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_RX_PACKET = WM_USER + 0x141;   // a decoded reply travels with the message
constexpr uint32_t WM_LOG_TEXT = WM_USER + 0x15E;    // one more entry waits in the log text queue
constexpr uint32_t WM_COMM_BREAK = WM_USER + 0x161;  // the port reported a break or line error

constexpr size_t kRxBufSize = 500;

// What the link could tell of a reply by its check bytes. Whether two check bytes that are not
// an FCS-16 mean damage or a handset with another check is for the engine to judge: only it
// knows which replies answer a request.
enum class RxCheck : uint8_t {
  None,         // raw reception at 9600 bit/s: nothing to check
  Crc30,        // its CRC-30 matched
  FcsMatch,     // its two check bytes are its FCS-16
  FcsMismatch,  // its two check bytes are not its FCS-16
  Damaged,      // not a reply: too short, ending inside an escape, or a CRC-30 that failed
};

// A decoded reply. It is copied into the message so that a second reply can never tear the
// one the window is reading, and it carries its length so that no check reads a byte the
// reply does not have.
struct RxPacket {
  std::array<uint8_t, kRxBufSize> bytes{};
  uint16_t size = 0;       // bytes delivered, trailing check bytes included
  uint8_t checkSize = 0;   // trailing check bytes among them (0, 2 or 4)
  RxCheck check = RxCheck::None;
  bool dload = false;      // framed as a download-mode reply (else DM or raw)
  // How many of the host's written bytes had left on the line when the reply was complete:
  // a reply cannot answer a request whose last byte had not yet gone.
  uint64_t hostBytesOut = 0;
  // Of them, as far as the driver alone can tell, without the line time at the set speed.
  uint64_t hostBytesWritten = 0;
  // When the reply was complete, on the receiving side's clock (only compared with another
  // reply's).
  uint64_t rxMs = 0;

  size_t PayloadSize() const { return size > checkSize ? size - checkSize : 0; }
};

struct WindowMessage {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  RxPacket packet;  // meaningful for WM_RX_PACKET only
};

// Receiver of posted messages. PostMessage may be called from any thread and never blocks for long.
class CMessageTarget {
 public:
  virtual ~CMessageTarget() = default;
  virtual void PostMessage(const WindowMessage& msg) = 0;
  void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    WindowMessage msg;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    PostMessage(msg);
  }
};
