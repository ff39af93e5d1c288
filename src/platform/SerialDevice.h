#pragma once
// The serial device under the link: what the link needs of a port, whatever the device is
// (a POSIX tty in the product, an in-process stand-in in tests).
#include <cstddef>
#include <cstdint>
#include <string>

// Event word bits, as the link and the receive loop know them.
constexpr uint32_t EV_RXCHAR = 0x0001;  // a byte was received
constexpr uint32_t EV_RXFLAG = 0x0002;  // the event character was received
constexpr uint32_t EV_BREAK = 0x0040;   // a break on the line (line noise: the tty never reports it)
constexpr uint32_t EV_ERR = 0x0080;     // the device went away (hang-up, EOF, I/O error)

struct SerialSettings {
  uint32_t baud = 57600;
  uint8_t byteSize = 8;
  uint8_t parity = 0;    // 0 = none
  uint8_t stopBits = 0;  // 0 = one stop bit
};

// Thread use: the UI thread opens, configures, writes, purges and closes; the receive thread
// sets the event mask, waits, asks what is waiting and reads. Either may empty the event mask.
class CSerialDevice {
 public:
  virtual ~CSerialDevice() = default;

  // Read and write, exclusive, not the controlling terminal. On failure LastError() says why
  // in words a technician can act on.
  virtual bool Open(const std::string& path) = 0;
  virtual bool IsOpen() const = 0;
  // Applies the settings over the device's current ones: raw 8-bit data, DTR control off.
  virtual bool Configure(const SerialSettings& settings) = 0;
  // Discards what waits in both directions.
  virtual void Purge() = 0;
  virtual void ClearDtr() = 0;
  // Clears exclusive mode and closes. Ends a WaitEvent in progress.
  virtual void Close() = 0;

  // Bytes waiting to be read; never blocks. Also clears the device's error state.
  virtual size_t BytesWaiting() = 0;
  // Reads at most max bytes of what already waits; never blocks. Returns the count delivered.
  virtual size_t Read(uint8_t* dst, size_t max) = 0;
  // Writes one byte, waiting at most timeoutMs for room. False when closed or timed out.
  virtual bool WriteByte(uint8_t b, int timeoutMs) = 0;
  // Writes bytes in order as WriteByte would, each waiting at most timeoutMs for room, and
  // stops at the first that fails. Returns how many went out. Devices that can take many
  // bytes in one call override it; a frame then costs a few system calls, not one a byte.
  virtual size_t Write(const uint8_t* bytes, size_t count, int timeoutMs) {
    for (size_t i = 0; i < count; ++i) {
      if (!WriteByte(bytes[i], timeoutMs)) return i;
    }
    return count;
  }

  // Which events WaitEvent reports. An empty mask releases a thread waiting in WaitEvent.
  virtual bool SetEventMask(uint32_t mask) = 0;
  // Blocks until an event of the mask happens, the mask is changed or emptied, Wake() is
  // called or the device is closed. Returns false when the wait itself failed (e.g. closed);
  // events then holds 0. A device that went away reports EV_ERR once, then only wakes.
  virtual bool WaitEvent(uint32_t& events) = 0;
  // Makes a WaitEvent in progress (or the next one) return at once with an empty word.
  virtual void Wake() = 0;

  // Bytes handed to Write that, as far as the device can tell, have not yet left on the line
  // (the driver's output queue, or the line time still owed at the set speed); 0 when it
  // cannot tell. Any thread. A reply received while a request's bytes are still pending
  // cannot be that request's answer.
  virtual size_t PendingOutput() { return 0; }
  // Of those, the bytes the driver still holds, without the line time the device adds for them:
  // on a line that is faster than its set speed (a pty) they have gone once the driver let
  // them go.
  virtual size_t QueuedOutput() { return PendingOutput(); }

  virtual std::string LastError() const = 0;
};
