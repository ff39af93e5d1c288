#pragma once
// The far end of a pty for tests: plays the handset on the master side while the code under
// test opens SlavePath() as its serial port.
//
// The peer opens the slave itself before anyone else does and keeps it open: it can then read
// the slave's settings, and the device's close does not hang up the master.
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CPtyPeer {
 public:
  CPtyPeer();
  ~CPtyPeer();
  CPtyPeer(const CPtyPeer&) = delete;
  CPtyPeer& operator=(const CPtyPeer&) = delete;

  // False when the pty could not be made; Error() says why.
  bool Ok() const { return m_master >= 0 && m_slave >= 0; }
  const std::string& Error() const { return m_error; }
  const std::string& SlavePath() const { return m_slavePath; }

  // The slave's output speed in bit/s; 0 when unknown.
  uint32_t SlaveSpeed() const;
  // The slave's settings as the device under test left them.
  bool SlaveAttributes(termios& t) const;
  // Whether the slave is in exclusive mode (TIOCGEXCL).
  bool SlaveExclusive() const;

  // Writes all of bytes to the master (what the device will receive), waiting for room.
  bool Write(const std::vector<uint8_t>& bytes);
  // Collects what the device wrote for ms milliseconds.
  std::vector<uint8_t> ReadFor(int ms);
  // Collects until done says so, or timeoutMs passed, and returns what came.
  std::vector<uint8_t> ReadUntil(const std::function<bool(const std::vector<uint8_t>&)>& done,
                                 int timeoutMs);
  std::vector<uint8_t> ReadUntil(size_t count, int timeoutMs);

  // Closes the master and the peer's slave descriptor: the device sees a hang-up.
  void HangUp();

 private:
  static void CloseFd(int& fd);

  int m_master = -1;
  int m_slave = -1;
  std::string m_slavePath;
  std::string m_error;
};
