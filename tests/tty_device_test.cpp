// CTtyDevice against a real pty. Must pass as root and as an ordinary user.
#include "platform/TtyDevice.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <pthread.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <utility>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "support/PtyPeer.h"
#include "support/TraceCapture.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

// Generous: these bound a hang, they do not measure speed.
constexpr auto kBound = 2s;
constexpr int kDataTimeoutMs = 5000;

Bytes AllByteValues() {
  Bytes bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<uint8_t>(i));
  return bytes;
}

// Reads from the device until count bytes came or the time is up; chunk is the Read size.
Bytes ReadFromDevice(CTtyDevice& dev, size_t count, size_t chunk = 512) {
  Bytes got;
  Bytes buf(chunk);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDataTimeoutMs);
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    const size_t n = dev.Read(buf.data(), buf.size());
    EXPECT_LE(n, buf.size());
    if (n == 0) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    got.insert(got.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return got;
}

// CPU time a thread has used so far.
std::chrono::nanoseconds CpuTime(std::thread& t) {
  clockid_t clock{};
  timespec ts{};
  if (::pthread_getcpuclockid(t.native_handle(), &clock) != 0 || ::clock_gettime(clock, &ts) != 0) {
    return {};
  }
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// One WaitEvent on its own thread. The destructor wakes the device so a failed test ends.
class CWaiter {
 public:
  struct Outcome {
    bool ok;
    uint32_t events;
  };
  explicit CWaiter(CTtyDevice& dev) : m_dev(dev) {
    m_future = m_promise.get_future();
    m_thread = std::thread([this] {
      uint32_t events = 0xDEAD;
      const bool ok = m_dev.WaitEvent(events);
      m_promise.set_value({ok, events});
    });
  }
  ~CWaiter() {
    if (m_future.valid() && m_future.wait_for(0s) != std::future_status::ready) m_dev.Wake();
    m_thread.join();
  }
  CWaiter(const CWaiter&) = delete;
  CWaiter& operator=(const CWaiter&) = delete;

  std::optional<Outcome> Result() {
    if (m_future.wait_for(kBound) != std::future_status::ready) return std::nullopt;
    return m_future.get();
  }

 private:
  CTtyDevice& m_dev;
  std::promise<Outcome> m_promise;
  std::future<Outcome> m_future;
  std::thread m_thread;
};

class TtyDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_peer.Ok()) << m_peer.Error(); }

  void OpenConfigured(uint32_t baud = 57600) {
    ASSERT_TRUE(m_dev.Open(m_peer.SlavePath())) << m_dev.LastError();
    ASSERT_TRUE(m_dev.Configure(SerialSettings{baud, 8, 0, 0})) << m_dev.LastError();
  }

  // Writes `chunk` without waiting until the line takes nothing more, and stays so: after a
  // short write the pty still moves bytes on to the reader's side for a moment. Returns the
  // bytes written.
  size_t FillLine(const Bytes& chunk) {
    size_t written = 0;
    int stillFull = 0;
    while (written < (1u << 22) && stillFull < 3) {
      const size_t n = m_dev.Write(chunk.data(), chunk.size(), 0);
      written += n;
      if (n == 0) {
        ++stillFull;
        std::this_thread::sleep_for(20ms);
      } else {
        stillFull = 0;
      }
    }
    return written;
  }

  CPtyPeer m_peer;
  CTtyDevice m_dev;
};

class TtyDeviceSpeed : public TtyDeviceTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(TtyDeviceSpeed, PeerSeesTheConfiguredSpeed) {
  OpenConfigured(GetParam());
  EXPECT_EQ(m_peer.SlaveSpeed(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rates, TtyDeviceSpeed,
                         ::testing::Values(1200u, 9600u, 57600u, 115200u, 921600u));

TEST_F(TtyDeviceTest, APtyRefusesLowLatencyModeAndOpensAllTheSame) {
  CTraceCapture trace;
  OpenConfigured();
  EXPECT_NE(trace.Text().find("tty: no low-latency mode"), std::string::npos) << trace.Text();
}

// A pty hands the bytes to the other side at once, but the line time at the set speed still
// counts: no handset behind it can have heard them sooner. The driver's queue alone says 0.
TEST_F(TtyDeviceTest, PendingOutputOnAPtyCountsTheLineTimeAndTheQueueDoesNot) {
  EXPECT_EQ(m_dev.PendingOutput(), 0u);
  OpenConfigured(1200);
  const Bytes sent(600, 0x5A);  // five seconds at 1200 bit/s
  ASSERT_EQ(m_dev.Write(sent.data(), sent.size(), 1000), sent.size());
  EXPECT_EQ(m_peer.ReadUntil(sent.size(), kDataTimeoutMs), sent);
  EXPECT_GT(m_dev.PendingOutput(), 400u) << "well inside the five seconds";
  EXPECT_EQ(m_dev.QueuedOutput(), 0u);
  m_dev.Close();
  EXPECT_EQ(m_dev.PendingOutput(), 0u);
}

// The receive thread may sit in WaitEvent with the port's lock: PendingOutput must not wait for it.
TEST_F(TtyDeviceTest, PendingOutputAnswersWhileAWaitIsInProgress) {
  OpenConfigured();
  m_dev.SetEventMask(EV_RXCHAR);
  uint32_t events = 0;
  m_dev.Wake();
  ASSERT_TRUE(m_dev.WaitEvent(events));
  CWaiter waiter(m_dev);
  std::this_thread::sleep_for(50ms);
  auto pending = std::async(std::launch::async, [this] { return m_dev.PendingOutput(); });
  const bool answered = pending.wait_for(kBound) == std::future_status::ready;
  if (!answered) m_dev.Wake();
  EXPECT_TRUE(answered);
}

TEST_F(TtyDeviceTest, RefusedSettingsLeaveTheLineAsItWas) {
  OpenConfigured(57600);
  EXPECT_FALSE(m_dev.Configure(SerialSettings{12345, 8, 0, 0}));
  EXPECT_THAT(m_dev.LastError(), HasSubstr("12345"));
  EXPECT_EQ(m_peer.SlaveSpeed(), 57600u);
  // A change of speed on the open device works.
  EXPECT_TRUE(m_dev.Configure(SerialSettings{9600, 8, 0, 0})) << m_dev.LastError();
  EXPECT_EQ(m_peer.SlaveSpeed(), 9600u);
}

TEST_F(TtyDeviceTest, ExclusiveWhileOpenClearedByCloseAndReopenWorks) {
  ASSERT_TRUE(m_dev.Open(m_peer.SlavePath())) << m_dev.LastError();
  EXPECT_TRUE(m_dev.IsOpen());
  EXPECT_TRUE(m_peer.SlaveExclusive());
  m_dev.Close();
  EXPECT_FALSE(m_dev.IsOpen());
  EXPECT_FALSE(m_peer.SlaveExclusive());
  EXPECT_TRUE(m_dev.Open(m_peer.SlavePath())) << m_dev.LastError();
  EXPECT_TRUE(m_peer.SlaveExclusive());
}

// Root passes the exclusive flag; the lock keeps it out all the same, and names who holds it.
TEST_F(TtyDeviceTest, SecondOpenWhileHeldNamesAnotherProgramAndItsProcess) {
  ASSERT_TRUE(m_dev.Open(m_peer.SlavePath())) << m_dev.LastError();
  CTtyDevice second;
  EXPECT_FALSE(second.Open(m_peer.SlavePath()));
  EXPECT_FALSE(second.IsOpen());
  EXPECT_THAT(second.LastError(), HasSubstr("in use by another program"));
  EXPECT_THAT(second.LastError(), HasSubstr(m_peer.SlavePath()));
  EXPECT_THAT(second.LastError(), HasSubstr("process " + std::to_string(::getpid())));
  EXPECT_TRUE(m_dev.IsOpen());
}

TEST_F(TtyDeviceTest, OpenTakesTheLockAndCloseGivesItBack) {
  const auto lockedByAnother = [&] {
    const int fd = ::open(m_peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;  // the exclusive flag kept an ordinary user out first
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
  };
  EXPECT_FALSE(lockedByAnother());
  ASSERT_TRUE(m_dev.Open(m_peer.SlavePath())) << m_dev.LastError();
  EXPECT_TRUE(lockedByAnother());
  m_dev.Close();
  EXPECT_FALSE(lockedByAnother());
  ASSERT_TRUE(m_dev.Open(m_peer.SlavePath())) << m_dev.LastError();
}

// A terminal program that locks the port (as picocom does) keeps the tool out, and nothing is
// sent to the handset; once it lets go the port opens.
TEST_F(TtyDeviceTest, AnotherProcessesLockKeepsThePortAndIsNamed) {
  int ready[2], release[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
  const std::string path = m_peer.SlavePath();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only async-signal-safe calls here: the test process may have threads. The write end
    // of release is the parent's alone, or the read below never sees its close.
    ::close(release[1]);
    ::close(ready[0]);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
    char c = 0;
    n = ::read(release[0], &c, 1);  // until the parent closes its end
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  // Lets the child go and reaps it on every way out of the test, a failed assertion's too.
  struct Release {
    int fd;
    pid_t child;
    void Now() {
      if (fd < 0) return;
      ::close(std::exchange(fd, -1));
      ::waitpid(child, nullptr, 0);
    }
    ~Release() { Now(); }
  } release_child{release[1], child};
  char ok = 0;
  const ssize_t got = ::read(ready[0], &ok, 1);
  ::close(ready[0]);
  ASSERT_EQ(got, 1);
  ASSERT_EQ(ok, 'y');
  EXPECT_FALSE(m_dev.Open(path));
  EXPECT_THAT(m_dev.LastError(), HasSubstr("in use by another program (process " + std::to_string(child)));
  EXPECT_FALSE(m_dev.WriteByte(0x7E, 10));
  EXPECT_TRUE(m_peer.ReadFor(50).empty());
  release_child.Now();
  EXPECT_TRUE(m_dev.Open(path)) << m_dev.LastError();
}

TEST_F(TtyDeviceTest, OpenFailuresSayWhy) {
  struct Case {
    std::string path;
    const char* expect;
  };
  const Case cases[] = {
      {"", "does not exist"},
      {"/dev/tarvisel-no-such-port", "does not exist"},
      {"/dev/null", "not a serial port"},
  };
  for (const Case& c : cases) {
    CTtyDevice dev;
    EXPECT_FALSE(dev.Open(c.path)) << c.path;
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_THAT(dev.LastError(), HasSubstr(c.expect)) << c.path;
  }
}

TEST_F(TtyDeviceTest, OpenWithoutPermissionNamesTheDialoutGroup) {
  if (::geteuid() == 0) GTEST_SKIP() << "root has every permission";
  char path[] = "/tmp/tarvisel-ttyXXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ::chmod(path, 0);
  CTtyDevice dev;
  EXPECT_FALSE(dev.Open(path));
  EXPECT_THAT(dev.LastError(), HasSubstr("dialout"));
  ::unlink(path);
}

TEST_F(TtyDeviceTest, ClosedDeviceRefusesEverythingQuietly) {
  uint8_t b = 0;
  uint32_t events = 0xDEAD;
  EXPECT_FALSE(m_dev.WriteByte(0x41, 100));
  EXPECT_EQ(m_dev.Read(&b, 1), 0u);
  EXPECT_EQ(m_dev.BytesWaiting(), 0u);
  EXPECT_FALSE(m_dev.Configure(SerialSettings{}));
  EXPECT_FALSE(m_dev.WaitEvent(events));
  EXPECT_EQ(events, 0u);
  m_dev.Close();
  OpenConfigured();
  m_dev.Close();
  m_dev.Close();
  EXPECT_FALSE(m_dev.WriteByte(0x41, 100));
}

TEST_F(TtyDeviceTest, WrittenBytesArriveExactly) {
  OpenConfigured();
  Bytes sent = AllByteValues();
  const Bytes special = {0x11, 0x13, 0x0D, 0x0A, 0xFF, 0x00, 0x0D, 0x0D, 0x0A, 0x03, 0x04, 0x1A};
  sent.insert(sent.end(), special.begin(), special.end());
  for (uint8_t b : sent) ASSERT_TRUE(m_dev.WriteByte(b, 1000));
  EXPECT_EQ(m_peer.ReadUntil(sent.size(), kDataTimeoutMs), sent);
}

TEST_F(TtyDeviceTest, ReceivedBytesArriveExactlyWhateverTheReadSize) {
  OpenConfigured();
  Bytes sent = AllByteValues();
  const Bytes tail = {0xFF, 0xFF, 0x41, 0xFF, 0x00, 0x00, 0xFF, 0x11, 0x13, 0xFF};
  sent.insert(sent.end(), tail.begin(), tail.end());
  for (size_t chunk : {size_t{512}, size_t{1}, size_t{2}, size_t{3}}) {
    SCOPED_TRACE(chunk);
    ASSERT_TRUE(m_peer.Write(sent));
    EXPECT_EQ(ReadFromDevice(m_dev, sent.size(), chunk), sent);
    uint8_t b = 0;
    EXPECT_EQ(m_dev.Read(&b, 1), 0u);
  }
  // A read of one byte cuts the pair FF FF the line makes of a data byte FF; it must still
  // deliver the byte rather than report nothing while the second half waits.
  ASSERT_TRUE(m_dev.SetEventMask(EV_RXCHAR));
  ASSERT_TRUE(m_peer.Write({0xFF}));
  uint32_t events = 0;
  do {
    ASSERT_TRUE(m_dev.WaitEvent(events));
  } while (events == 0);
  while (m_dev.BytesWaiting() < 2) std::this_thread::sleep_for(1ms);
  uint8_t b = 0;
  EXPECT_EQ(m_dev.Read(&b, 1), 1u);
  EXPECT_EQ(b, 0xFF);
}

TEST_F(TtyDeviceTest, ReadAndBytesWaitingNeverBlock) {
  OpenConfigured();
  uint8_t buf[16];
  EXPECT_EQ(m_dev.BytesWaiting(), 0u);
  EXPECT_EQ(m_dev.Read(buf, sizeof buf), 0u);
  ASSERT_TRUE(m_peer.Write({0x01, 0x02, 0x03}));
  ASSERT_TRUE(m_dev.SetEventMask(EV_RXCHAR));
  uint32_t events = 0;
  do {
    ASSERT_TRUE(m_dev.WaitEvent(events));
  } while (events == 0);  // the mask change may wake the first wait
  EXPECT_EQ(m_dev.BytesWaiting(), 3u);
  EXPECT_EQ(m_dev.Read(buf, sizeof buf), 3u);
  EXPECT_EQ(m_dev.Read(buf, sizeof buf), 0u);
}

TEST_F(TtyDeviceTest, PurgeDropsWhatWaits) {
  OpenConfigured();
  ASSERT_TRUE(m_peer.Write({0x10, 0x20, 0x30}));
  ASSERT_TRUE(m_dev.SetEventMask(EV_RXCHAR));
  uint32_t events = 0;
  do {
    ASSERT_TRUE(m_dev.WaitEvent(events));
  } while (events == 0);
  m_dev.Purge();
  uint8_t buf[8];
  EXPECT_EQ(m_dev.BytesWaiting(), 0u);
  EXPECT_EQ(m_dev.Read(buf, sizeof buf), 0u);
}

TEST_F(TtyDeviceTest, WriteByteGivesUpWhenTheLineIsFullAndGoesOnWhenDrained) {
  OpenConfigured();
  ASSERT_LT(FillLine(Bytes(4096, 0x55)), 1u << 22) << "the line never filled";
  EXPECT_FALSE(m_dev.WriteByte(0x55, 20));
  std::thread drain([this] { m_peer.ReadFor(300); });
  EXPECT_TRUE(m_dev.WriteByte(0x66, 5000));
  drain.join();
}

TEST_F(TtyDeviceTest, WriteTakesManyBytesAndStopsWhereTheLineStaysFull) {
  OpenConfigured();
  Bytes frame;
  for (int i = 0; i < 16; ++i) {
    const Bytes all = AllByteValues();
    frame.insert(frame.end(), all.begin(), all.end());
  }
  ASSERT_EQ(m_dev.Write(frame.data(), frame.size(), 1000), frame.size());
  EXPECT_EQ(m_peer.ReadUntil(frame.size(), kDataTimeoutMs), frame);

  // Fill the line, then: nothing goes within the time-out, and all of it once it drains.
  ASSERT_LT(FillLine(frame), 1u << 22) << "the line never filled";
  EXPECT_EQ(m_dev.Write(frame.data(), frame.size(), 20), 0u);
  std::thread drain([this] { m_peer.ReadFor(500); });
  EXPECT_EQ(m_dev.Write(frame.data(), 64, 5000), 64u);
  drain.join();
  m_dev.Close();
  EXPECT_EQ(m_dev.Write(frame.data(), frame.size(), 100), 0u);
}

TEST_F(TtyDeviceTest, WaitReportsReceivedData) {
  OpenConfigured();
  ASSERT_TRUE(m_dev.SetEventMask(EV_RXCHAR | EV_BREAK));
  m_dev.Wake();  // consumed below with any wake the mask change left
  uint32_t events = 0xDEAD;
  ASSERT_TRUE(m_dev.WaitEvent(events));
  EXPECT_EQ(events, 0u);
  CWaiter waiter(m_dev);
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(m_peer.Write({0x7E}));
  const auto outcome = waiter.Result();
  ASSERT_TRUE(outcome) << "WaitEvent did not see the data";
  EXPECT_TRUE(outcome->ok);
  EXPECT_EQ(outcome->events, EV_RXCHAR);
}

TEST_F(TtyDeviceTest, EmptyMaskReturnsAtOnce) {
  OpenConfigured();
  m_dev.SetEventMask(0);
  CWaiter waiter(m_dev);
  const auto outcome = waiter.Result();
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->ok);
  EXPECT_EQ(outcome->events, 0u);
}

TEST_F(TtyDeviceTest, WakeBeforeTheWaitIsKept) {
  OpenConfigured();
  m_dev.SetEventMask(EV_RXCHAR);
  m_dev.Wake();
  CWaiter waiter(m_dev);
  const auto outcome = waiter.Result();
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->ok);
  EXPECT_EQ(outcome->events, 0u);
}

// Each way the UI thread can end a wait in progress.
TEST_F(TtyDeviceTest, CloseWakeOrEmptyMaskEndAWait) {
  struct Case {
    const char* name;
    void (*end)(CTtyDevice&);
    bool ok;
  };
  const Case cases[] = {
      {"Close", [](CTtyDevice& d) { d.Close(); }, false},
      {"Wake", [](CTtyDevice& d) { d.Wake(); }, true},
      {"EmptyMask", [](CTtyDevice& d) { d.SetEventMask(0); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!m_dev.IsOpen()) OpenConfigured();
    m_dev.SetEventMask(EV_RXCHAR);
    uint32_t events = 0;
    // Use up the wake the mask change may have left, so the waiter below really waits.
    m_dev.Wake();
    ASSERT_TRUE(m_dev.WaitEvent(events));
    CWaiter waiter(m_dev);
    std::this_thread::sleep_for(50ms);
    c.end(m_dev);
    const auto outcome = waiter.Result();
    ASSERT_TRUE(outcome) << "the wait did not end";
    EXPECT_EQ(outcome->ok, c.ok);
    EXPECT_EQ(outcome->events, 0u);
  }
}

TEST_F(TtyDeviceTest, HangUpReportsOneErrorThenWaitsForAWake) {
  OpenConfigured();
  m_dev.SetEventMask(EV_RXCHAR | EV_BREAK);
  m_peer.HangUp();

  uint32_t events = 0;
  do {
    ASSERT_TRUE(m_dev.WaitEvent(events));
  } while (events == 0);
  EXPECT_EQ(events, EV_ERR);
  EXPECT_THAT(m_dev.LastError(), HasSubstr("went away"));

  std::atomic<bool> stop{false};
  std::atomic<int> returns{0};
  std::atomic<uint32_t> seen{0};
  std::thread waiter([&] {
    while (!stop.load()) {
      uint32_t ev = 0;
      m_dev.WaitEvent(ev);
      seen.fetch_or(ev);
      returns.fetch_add(1);
    }
  });
  const auto cpuBefore = CpuTime(waiter);
  std::this_thread::sleep_for(300ms);
  const auto cpuUsed = CpuTime(waiter) - cpuBefore;
  EXPECT_EQ(returns.load(), 0) << "WaitEvent returned without an event after the hang-up";
  // A wait that spins on the dead descriptor would burn the whole interval.
  EXPECT_LT(cpuUsed, 30ms) << "WaitEvent spins after the hang-up";
  stop.store(true);
  m_dev.Wake();
  waiter.join();
  EXPECT_EQ(returns.load(), 1);
  EXPECT_EQ(seen.load(), 0u);

  uint8_t b = 0;
  EXPECT_EQ(m_dev.Read(&b, 1), 0u);
  EXPECT_EQ(m_dev.BytesWaiting(), 0u);
  EXPECT_FALSE(m_dev.WriteByte(0x41, 100));
  m_dev.Close();
  EXPECT_FALSE(m_dev.IsOpen());
}

// The receive thread waits and reads while the UI thread writes, closes and reopens.
TEST_F(TtyDeviceTest, ReceiveThreadAlongsideCloseAndReopen) {
  std::atomic<bool> stop{false};
  std::mutex gotMutex;
  Bytes got;
  OpenConfigured();
  m_dev.SetEventMask(EV_RXCHAR | EV_BREAK);
  std::thread rx([&] {
    uint8_t buf[64];
    while (!stop.load()) {
      uint32_t events = 0;
      if (!m_dev.WaitEvent(events)) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      if ((events & EV_RXCHAR) == 0) continue;
      m_dev.PendingOutput();  // as the link asks with every reply, while Close may be under way
      while (const size_t n = m_dev.Read(buf, std::min(sizeof buf, m_dev.BytesWaiting() + 1))) {
        std::lock_guard lock(gotMutex);
        got.insert(got.end(), buf, buf + n);
      }
    }
  });

  Bytes expected;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    if (!m_dev.IsOpen()) OpenConfigured(round % 2 ? 115200 : 57600);
    Bytes payload;
    for (int i = 0; i < 300; ++i) payload.push_back(static_cast<uint8_t>(i * 7 + round));
    expected.insert(expected.end(), payload.begin(), payload.end());
    ASSERT_TRUE(m_peer.Write(payload));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDataTimeoutMs);
    for (;;) {
      {
        std::lock_guard lock(gotMutex);
        if (got.size() >= expected.size() || std::chrono::steady_clock::now() > deadline) break;
      }
      std::this_thread::sleep_for(1ms);
    }
    for (uint8_t b : {0x7E, 0xFF, 0x11}) EXPECT_TRUE(m_dev.WriteByte(b, 1000));
    EXPECT_EQ(m_peer.ReadUntil(3, kDataTimeoutMs), (Bytes{0x7E, 0xFF, 0x11}));
    m_dev.Close();
  }
  stop.store(true);
  m_dev.Wake();
  rx.join();
  EXPECT_EQ(got, expected);
}

}  // namespace
