#pragma once
// The serial link to the handset: the port, the frame codec and the request packets.
// The UI thread opens, closes, changes speed and sends; the receive thread reads and parses.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "BlockRecord.h"
#include "Comm/LinkFlags.h"
#include "Comm/QTextQ.h"
#include "platform/SerialDevice.h"
#include "platform/WindowMessage.h"

class CBssComm {
 public:
  static constexpr size_t kMaxPacket = 4103;      // block write: cmd, address, length, 4096 bytes
  static constexpr size_t kMaxFrame = 2 + 2 * (kMaxPacket + 2);  // two flags, every byte escaped
  static constexpr int32_t kRxFrameSize = 512;    // frame assembly buffer
  static constexpr size_t kRxPayloadSize = 513;   // one frame without its flags
  static constexpr int kWriteTimeoutMs = 1000;
  // Silence after which a frame without its closing flag is noise. USB serial adapters hold
  // received bytes up to their 16 ms latency timer, so one reply may come in pieces that far
  // apart; 100 ms absorbs that six times over (and a loaded host's scheduling), while a stray
  // byte more than 100 ms before a reply no longer spoils it.
  static constexpr uint64_t kInterByteLimitMs = 100;
  // Frames go to the device in pieces of this size, each counted as handed over before it is
  // written, so that a reply arriving during a long write is judged against what has left.
  static constexpr size_t kWriteChunk = 256;
  static constexpr unsigned kSettleMs = 100;

  static constexpr uint8_t kFlag = 0x7E;
  static constexpr uint8_t kDmFlag = 0x7F;
  static constexpr uint8_t kEscape = 0x7D;
  static constexpr uint8_t kEscapeXor = 0x20;

  // A link over a POSIX tty. One link per process (CLinkFlagsClaim).
  CBssComm();
  // A link over the given device (tests and the in-process handset use their own).
  explicit CBssComm(std::unique_ptr<CSerialDevice> device);
  virtual ~CBssComm();
  CBssComm(const CBssComm&) = delete;
  CBssComm& operator=(const CBssComm&) = delete;

  // --- port ---
  bool InitComm(CMessageTarget* owner, CQTextQ* textQ);
  void SetParams(uint8_t port, uint32_t baud, uint8_t byteSize, uint8_t stopBits, uint8_t parity);
  void SetPort(uint8_t port);
  // A device to open whatever the port number says ("" goes back to the port's device).
  void SetDevicePath(const std::string& path) { m_strDevicePath = path; }
  bool Open();
  bool Configure();
  bool Close();
  bool ReleaseComm();
  void ChangeBaud(uint32_t baud);
  void ToggleSpeed();
  uint32_t GetBaud() const { return m_dwBaud; }
  uint8_t GetLastCmd() const { return m_nLastCmd; }
  uint8_t GetPort() const { return m_nPort; }
  bool IsEventsReady() const { return m_bEventsReady; }
  size_t ReadComm(uint8_t* dst, size_t max);
  bool WriteCommByte(uint8_t b);
  // A whole frame, byte for byte as WriteCommByte would write it: a byte that fails is lost
  // and the rest still go. False when any failed.
  bool WriteComm(const uint8_t* bytes, size_t count);
  void LogText(const std::string& text);
  void LogError(const std::string& text);
  // Why the last Open failed, in words for the user ("" after a successful open).
  const std::string& GetOpenError() const { return m_strOpenError; }
  // The receive thread's view of the port events.
  bool SetCommMask(uint32_t mask);
  bool WaitCommEvent(uint32_t& events);
  // Lets the receive thread's wait return so it can look at its flags.
  void WakeReceiver();
  // UI-thread pauses of the link (settle and speed-change waits). Real sleeps by default.
  void SetPause(std::function<void(unsigned ms)> pause) { m_pause = std::move(pause); }

  // --- frame codec ---
  void SendPacket(const uint8_t* payload, uint16_t len);
  void ResendLastPacket();
  void WriteRawByte(uint8_t b);
  static bool NeedEscape(uint8_t b) { return b >= 0x7D && b <= 0x7F; }
  bool PutByte(uint8_t b, bool escape);
  // Bytes read at nowMs (any steady millisecond clock): each closing flag ends one frame,
  // which is decoded and delivered at once. False when a frame overflowed the assembly.
  bool ParseRxData(const uint8_t* data, int count, uint64_t nowMs);
  // Each decoder unescapes m_RxPayload in place; `count` is the bytes before, `decoded` after,
  // `checkSize` the trailing check bytes among them. Plain and download decoders refuse only
  // what is no reply at all: whether the check bytes are an FCS-16 travels with the reply.
  bool DecodePlain(int count, int& decoded, int& checkSize);
  bool DecodeDload(int count, int& decoded, int& checkSize);
  bool DecodeCrc30(int count, int& decoded, int& checkSize);
  static uint32_t Crc30(const uint8_t* data, size_t bits);
  void DeliverPacket(const uint8_t* bytes, int count, int checkSize, RxCheck check);
  // On the UI thread: the reply carried by WM_RX_PACKET becomes the current response.
  void StoreResponse(const RxPacket& packet);
  // The payload size of the current response, check bytes not counted.
  size_t GetRxSize() const { return m_nRxSize; }
  // Of the current response: how much the host had sent when it arrived (RxPacket).
  uint64_t GetRxBytesOut() const { return m_nRxBytesOut; }
  // The same without the line time at the set speed (RxPacket), and when it came.
  uint64_t GetRxBytesWritten() const { return m_nRxBytesWritten; }
  uint64_t GetRxMs() const { return m_nRxMs; }
  // What the link could tell of the current response's check bytes, and its framing.
  RxCheck GetRxCheck() const { return m_nRxCheck; }
  bool IsRxDload() const { return m_bRxDload; }
  // Its size with the check bytes.
  size_t GetRxFullSize() const { return m_nRxFullSize; }

  // Bytes handed to the port so far (a frame is counted as it is handed over); after a
  // request, the position of its last byte.
  uint64_t GetTxEnd() const { return m_nTxHanded.load(); }
  // Of those, how many have left on the line by now. Any thread.
  uint64_t TxBytesOut() const;
  // Of those, how many the driver let go, the line time not counted.
  uint64_t TxBytesWritten() const;
  // Bytes on the wire of the last request (flags and escapes included).
  size_t GetLastFrameBytes() const { return m_nLastFrameBytes; }

  // --- requests ---
  // A request as the engine built it: framed for DM or download mode, its line in the log.
  void SendRequest(const uint8_t* payload, size_t len, bool dload, const std::string& logText);
  void SendStatusReq();
  void SendVersionReq();
  void SendDmOfflineReq();
  void SendDloadModeReq();
  void SendDloadStartReq();
  void SendModuleCopyReq();
  void SendBaudRateReq(uint8_t speedIndex);
  void SendJumpReq();
  void SendFlashEraseReq(uint32_t start, uint32_t length);
  void SendWriteBlockReq(const BlockRecord& record);
  void SendToDmSequence(int step);

  // --- state, in the order the link keeps it ---
  int32_t m_nRxCount = 0;
  std::array<uint8_t, kRxBufSize> m_RxBuf{};  // current response; UI thread only
  CMessageTarget* m_pOwner = nullptr;
  CQTextQ* m_pTextQ = nullptr;
  // Read by the receive thread while the UI thread may write them.
  std::atomic<uint8_t> m_bCrc30Mode{1};
  uint8_t m_nPort = 1;
  uint8_t m_nByteSize = 8;
  std::atomic<uint32_t> m_dwBaud{57600};
  uint8_t m_nParity = 0;
  uint8_t m_nStopBits = 0;
  std::atomic<int32_t> m_bDloadFraming{0};
  uint8_t m_nLastCmd = 0;
  int32_t m_nLastLen = 0;
  std::array<uint8_t, kMaxPacket> m_LastPkt{};

 private:
  CLinkFlagsClaim m_flagsClaim;  // for the link's whole life
  std::string m_strDevicePath;
  void Reset();
  void Pause(unsigned ms);
  bool SendDm(const uint8_t* payload, uint16_t len, const char* logText);
  bool SendDload(const uint8_t* payload, uint16_t len, const char* logText);
  void QueueText(int32_t kind, const std::string& text);

  std::unique_ptr<CSerialDevice> m_device;
  bool m_bEventsReady = false;  // stands for the two completion events of InitComm
  std::string m_strOpenError;
  std::function<void(unsigned)> m_pause;
  std::array<uint8_t, kMaxFrame> m_TxFrame{};  // the frame being sent; UI thread only
  size_t m_nLastFrameBytes = 0;
  std::atomic<uint64_t> m_nTxHanded{0};        // written by the UI thread, read by both
  size_t m_nRxSize = 0;                         // UI thread
  uint64_t m_nRxBytesOut = 0;                   // UI thread
  uint64_t m_nRxBytesWritten = 0;               // UI thread
  uint64_t m_nRxMs = 0;                         // UI thread
  RxCheck m_nRxCheck = RxCheck::None;           // UI thread
  bool m_bRxDload = false;                      // UI thread
  size_t m_nRxFullSize = 0;                     // UI thread
  // Receive side, used by the receive thread only.
  void EndFrame();
  RxCheck DecodeTwoByteCheck(int count, int& decoded);
  bool DecodeCrc30(int count, int& decoded);
  uint64_t m_nLastRxMs = 0;
  bool m_bRxHunting = false;  // an overlong frame is being skipped up to its flag
  std::array<uint8_t, kRxFrameSize> m_RxFrame{};
  std::array<uint8_t, kRxPayloadSize> m_RxPayload{};
  std::array<uint8_t, kRxPayloadSize> m_RxScratch{};
};
