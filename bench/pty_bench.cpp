// A block write framed and written to a real tty (a pty whose far end is drained by a thread):
// what a frame costs in system calls, written in one go and byte by byte.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <thread>

#include "BenchSupport.h"
#include "platform/TtyDevice.h"

namespace {

// The far end of a pty, read as fast as it fills.
class CDrainedPty {
 public:
  CDrainedPty() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[PATH_MAX] = {};
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0) {
      return;
    }
    termios t{};
    if (::tcgetattr(m_master, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(m_master, TCSANOW, &t);
    }
    // Held open so that the device's close does not hang up the master.
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    m_path = name;
    m_drain = std::thread([this] {
      std::array<uint8_t, 16384> buf{};
      while (!m_stop) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::read(m_master, buf.data(), buf.size());
        if (n > 0) m_read += static_cast<uint64_t>(n);
      }
    });
  }
  ~CDrainedPty() {
    m_stop = true;
    if (m_drain.joinable()) m_drain.join();
    if (m_slave >= 0) ::close(m_slave);
    if (m_master >= 0) ::close(m_master);
  }
  CDrainedPty(const CDrainedPty&) = delete;
  CDrainedPty& operator=(const CDrainedPty&) = delete;

  bool Ok() const { return m_slave >= 0; }
  const std::string& SlavePath() const { return m_path; }

 private:
  int m_master = -1;
  int m_slave = -1;
  std::string m_path;
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_read{0};
  std::thread m_drain;
};

// A tty that is handed one byte at a time, as a device without Write of its own would be.
class CByteAtATime final : public CSerialDevice {
 public:
  bool Open(const std::string& path) override { return m_tty.Open(path); }
  bool IsOpen() const override { return m_tty.IsOpen(); }
  bool Configure(const SerialSettings& s) override { return m_tty.Configure(s); }
  void Purge() override { m_tty.Purge(); }
  void ClearDtr() override { m_tty.ClearDtr(); }
  void Close() override { m_tty.Close(); }
  size_t BytesWaiting() override { return m_tty.BytesWaiting(); }
  size_t Read(uint8_t* dst, size_t max) override { return m_tty.Read(dst, max); }
  bool WriteByte(uint8_t b, int timeoutMs) override { return m_tty.WriteByte(b, timeoutMs); }
  bool SetEventMask(uint32_t mask) override { return m_tty.SetEventMask(mask); }
  bool WaitEvent(uint32_t& events) override { return m_tty.WaitEvent(events); }
  void Wake() override { m_tty.Wake(); }
  std::string LastError() const override { return m_tty.LastError(); }

 private:
  CTtyDevice m_tty;
};

void BM_FrameBlockWriteOverPty(benchmark::State& state) {
  CDrainedPty pty;
  if (!pty.Ok()) {
    state.SkipWithError("no pty");
    return;
  }
  const bool byteAtATime = state.range(0) == 1;
  std::unique_ptr<CSerialDevice> device;
  if (byteAtATime) device = std::make_unique<CByteAtATime>();
  else device = std::make_unique<CTtyDevice>();
  bench::OpenLink link(std::move(device), pty.SlavePath());
  if (!link.ok) {
    state.SkipWithError("the link did not open the pty");
    return;
  }
  const BlockRecord block = bench::MakeBlock(bench::Content::Random);
  for (auto _ : state) link.comm->SendWriteBlockReq(block);
  state.SetLabel(byteAtATime ? "a write per byte" : "one write per frame");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BlockRecord::size()));
}
BENCHMARK(BM_FrameBlockWriteOverPty)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
