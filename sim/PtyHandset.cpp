#include "PtyHandset.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <utility>

#include "UsbAdapter.h"

namespace sim {

namespace {

constexpr uint64_t kNsPerMs = 1000000;
constexpr uint64_t kIdleNs = 2 * kNsPerMs;  // a line idle this long has no credit saved up
constexpr uint64_t kMaxWaitNs = 100 * kNsPerMs;
constexpr size_t kPacedChunk = 64;
constexpr size_t kLogLineBytes = 32;
constexpr char kStopByte = 1;  // on the runner's own channel
constexpr char kPowerByte = 2;

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Ten bit times (start, 8 data, stop) in ns.
uint64_t ByteNs(uint32_t baud) { return 10ull * 1000000000ull / std::max<uint32_t>(baud, 300); }

struct Outgoing {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
  uint32_t baud = 0;
  bool endsDownload = false;
  bool started = false;
};

}  // namespace

size_t LineBudget(uint64_t nowNs, uint64_t& nextNs, uint64_t byteNs, size_t most, bool busy) {
  if (nowNs < nextNs) return 0;
  if (!busy && nowNs - nextNs > kIdleNs) nextNs = nowNs;
  return static_cast<size_t>(std::min<uint64_t>(most, 1 + (nowNs - nextNs) / byteNs));
}

uint32_t SpeedOfCode(unsigned code) {
  static constexpr std::array<std::pair<speed_t, uint32_t>, 24> kSpeeds{{
      {B0, 0},             {B300, 300},         {B600, 600},         {B1200, 1200},
      {B1800, 1800},       {B2400, 2400},       {B4800, 4800},       {B9600, 9600},
      {B19200, 19200},     {B38400, 38400},     {B57600, 57600},     {B115200, 115200},
      {B230400, 230400},   {B460800, 460800},   {B500000, 500000},   {B576000, 576000},
      {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
      {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B4000000, 4000000},
  }};
  for (const auto& [c, rate] : kSpeeds) {
    if (c == code) return rate;
  }
  return 0;
}

CPtyHandset::CPtyHandset(std::unique_ptr<CHandsetModel> model, PtyOptions options)
    : m_model(std::move(model)), m_options(std::move(options)) {
  int p[2];
  if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0) {
    m_stopRead.Reset(p[0]);
    m_stopWrite.Reset(p[1]);
  }
}

CPtyHandset::~CPtyHandset() {
  FlushLine();
  RemoveLink();
}

bool CPtyHandset::Open() {
  if (!m_stopRead.Valid()) {
    m_error = "cannot make the stop channel";
    return false;
  }
  auto fail = [this](std::string why) {
    m_error = std::move(why);
    return false;
  };
  if (!m_options.lineLog.empty()) {
    m_lineLog.open(m_options.lineLog, std::ios::out | std::ios::trunc);
    if (!m_lineLog) return fail("cannot write the line log " + m_options.lineLog);
  }
  CUniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.Valid()) return fail(ErrnoText("posix_openpt"));
  if (::grantpt(master.Get()) != 0) return fail(ErrnoText("grantpt"));
  if (::unlockpt(master.Get()) != 0) return fail(ErrnoText("unlockpt"));
  char name[PATH_MAX] = {};
  if (::ptsname_r(master.Get(), name, sizeof name) != 0) return fail(ErrnoText("ptsname_r"));
  const int flags = ::fcntl(master.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(ErrnoText("fcntl"));
  }
  termios t{};
  if (::tcgetattr(master.Get(), &t) != 0) return fail(ErrnoText("tcgetattr"));
  ::cfmakeraw(&t);  // no byte translated, no echo, until the host sets its own mode
  if (::tcsetattr(master.Get(), TCSANOW, &t) != 0) return fail(ErrnoText("tcsetattr"));
  CUniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!slave.Valid()) return fail(ErrnoText(std::string("open ") + name));

  if (!m_options.linkPath.empty()) {
    struct stat st {};
    if (::lstat(m_options.linkPath.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        m_error = m_options.linkPath + " exists and is not a symbolic link";
        return false;
      }
      ::unlink(m_options.linkPath.c_str());  // left over from an earlier run
    }
    if (::symlink(name, m_options.linkPath.c_str()) != 0) {
      return fail(ErrnoText("symlink " + m_options.linkPath));
    }
    m_linkMade = true;
  }
  m_master = std::move(master);
  m_slave = std::move(slave);
  m_slavePath = name;
  return true;
}

void CPtyHandset::Stop() {
  if (m_stopWrite.Valid()) {
    const char b = kStopByte;
    [[maybe_unused]] ssize_t r = ::write(m_stopWrite.Get(), &b, 1);
  }
}

void CPtyHandset::PowerCycle() {
  if (m_stopWrite.Valid()) {
    const char b = kPowerByte;
    [[maybe_unused]] ssize_t r = ::write(m_stopWrite.Get(), &b, 1);
  }
}

uint32_t CPtyHandset::SlaveBaud() const {
  termios t{};
  if (::tcgetattr(m_slave.Get(), &t) != 0) return 0;
  return SpeedOfCode(::cfgetospeed(&t));
}

void CPtyHandset::WaitHostDrained() {
  // The host may not have read the last reply yet; closing now could lose it.
  for (int i = 0; i < 300; ++i) {
    int waiting = 0;
    if (::ioctl(m_slave.Get(), FIONREAD, &waiting) != 0 || waiting == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void CPtyHandset::LogLine(uint64_t nowNs, bool fromHost, uint32_t baud, const uint8_t* bytes, size_t n) {
  if (!m_lineLog.is_open()) return;
  PendingLine& l = m_line;
  if (!l.bytes.empty() && (l.fromHost != fromHost || l.baud != baud || nowNs - l.lastNs > kIdleNs)) FlushLine();
  for (size_t i = 0; i < n; ++i) {
    if (l.bytes.empty()) {
      l.startNs = nowNs;
      l.fromHost = fromHost;
      l.baud = baud;
    }
    l.bytes.push_back(bytes[i]);
    if (l.bytes.size() == kLogLineBytes) FlushLine();
  }
  l.lastNs = nowNs;
}

void CPtyHandset::FlushLine() {
  if (m_line.bytes.empty() || !m_lineLog.is_open()) return;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char head[48];
  std::snprintf(head, sizeof head, "%11.6f %s %u", static_cast<double>(m_line.startNs) / 1e9,
                m_line.fromHost ? "host" : "handset", m_line.baud);
  std::string text = head;
  for (uint8_t b : m_line.bytes) {
    text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  m_lineLog << text << '\n';
  m_line.bytes.clear();
}

void CPtyHandset::RemoveLink() {
  if (!m_linkMade) return;
  char target[PATH_MAX] = {};
  const ssize_t n = ::readlink(m_options.linkPath.c_str(), target, sizeof target - 1);
  if (n > 0 && m_slavePath == std::string(target, static_cast<size_t>(n))) {
    ::unlink(m_options.linkPath.c_str());  // only our own link
  }
  m_linkMade = false;
}

CPtyHandset::End CPtyHandset::Run(int stopFd) {
  if (!m_master.Valid()) {
    m_error = "the pty is not open";
    return End::Failed;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point t0 = Clock::now();
  if (m_lineLog.is_open()) {
    // Time 0 on the wall clock, for a script that compares the line with what happened elsewhere.
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    char head[64];
    std::snprintf(head, sizeof head, "# t0 %.6f", std::chrono::duration<double>(wall).count());
    m_lineLog << head << '\n' << std::flush;
  }
  auto nowNs = [&] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
  };
  const bool pace = m_options.pace || m_model->Scenario().pace;
  m_model->SetOutputLineTime(pace);
  // With an adapter the line's bytes go into it, and what it hands over goes to the pty.
  std::optional<CUsbAdapter> adapter;
  if (m_model->Scenario().adapter.On()) adapter.emplace(m_model->Scenario().adapter);
  std::deque<Outgoing> out;     // bursts on the line
  std::deque<Outgoing> toHost;  // the adapter's hand-overs, each one write to the pty
  uint64_t nextReadNs = 0;
  bool hostBytesWaiting = false;  // the host's bytes were still queued after the last read
  uint64_t nextWriteNs = 0;
  bool writeBlocked = false;   // the pty took no more of the line's bytes
  bool toHostBlocked = false;  // nor of the adapter's
  std::array<uint8_t, 4096> buf{};
  auto powerCycle = [&](uint64_t atNs) {
    // The handset's UART goes quiet at once; what the pty already holds, the host still reads.
    const bool incomplete = m_model->PowerCycle(atNs / kNsPerMs);
    out.clear();
    toHost.clear();
    if (adapter) adapter->Clear();
    if (m_powerSink) m_powerSink(*m_model, incomplete);
  };
  // What came on the runner's channel and on stopFd: false for a stop.
  auto ownChannel = [&] {
    char b[64];
    for (ssize_t n; (n = ::read(m_stopRead.Get(), b, sizeof b)) > 0;) {
      for (ssize_t i = 0; i < n; ++i) {
        if (b[i] != kPowerByte) return false;
        powerCycle(nowNs());
      }
    }
    return true;
  };
  auto stopChannel = [&] {
    std::array<signalfd_siginfo, 8> si{};
    const ssize_t n = ::read(stopFd, si.data(), sizeof si);
    if (n <= 0 || n % static_cast<ssize_t>(sizeof(signalfd_siginfo)) != 0) return false;
    for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof(signalfd_siginfo)); ++i) {
      if (si[static_cast<size_t>(i)].ssi_signo != SIGUSR1) return false;
      powerCycle(nowNs());
    }
    return true;
  };

  for (;;) {
    uint64_t now = nowNs();
    const uint32_t hostBaud = SlaveBaud();
    for (Burst& b : m_model->TakeLineDue(now / kNsPerMs)) {
      out.push_back(Outgoing{std::move(b.bytes), 0, b.baud, b.endsDownload, false});
    }

    bool downloadDone = false;
    writeBlocked = false;
    toHostBlocked = false;
    while (!out.empty()) {
      Outgoing& o = out.front();
      if (!o.started) {
        o.started = true;
        if (o.baud != hostBaud) {  // garbage to a UART at another speed
          ++m_dropped;
          downloadDone |= o.endsDownload;
          out.pop_front();
          continue;
        }
      }
      size_t want = o.bytes.size() - o.pos;
      if (pace) {
        want = LineBudget(now, nextWriteNs, ByteNs(o.baud), std::min(want, kPacedChunk), o.pos > 0);
        if (want == 0) break;
      }
      size_t moved = want;
      if (adapter) {
        // Each byte is in the adapter once it has crossed: paced, at its own line time.
        for (size_t k = 0; k < want; ++k) {
          const size_t at = o.pos + k;
          const uint64_t in = pace ? nextWriteNs + (k + 1) * ByteNs(o.baud) : now;
          adapter->Push(o.bytes[at], in, o.baud, o.endsDownload && at + 1 == o.bytes.size());
        }
      } else {
        const ssize_t w = ::write(m_master.Get(), o.bytes.data() + o.pos, want);
        if (w < 0) {
          if (errno == EAGAIN || errno == EINTR) {
            writeBlocked = true;
            break;
          }
          m_error = ErrnoText("write to the pty");
          return End::Failed;
        }
        moved = static_cast<size_t>(w);
      }
      if (pace) nextWriteNs += static_cast<uint64_t>(moved) * ByteNs(o.baud);
      LogLine(now, false, o.baud, o.bytes.data() + o.pos, moved);
      o.pos += moved;
      if (o.pos < o.bytes.size()) {
        writeBlocked = !pace;  // the pty buffer is full
        break;
      }
      if (!adapter) downloadDone |= o.endsDownload;
      out.pop_front();
    }
    if (adapter) {
      for (CUsbAdapter::Handover& h : adapter->Take(now)) {
        toHost.push_back(Outgoing{std::move(h.bytes), 0, h.baud, h.endsDownload, true});
      }
      while (!toHost.empty()) {
        Outgoing& o = toHost.front();
        const ssize_t w = ::write(m_master.Get(), o.bytes.data() + o.pos, o.bytes.size() - o.pos);
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
          m_error = ErrnoText("write to the pty");
          return End::Failed;
        }
        if (w > 0) o.pos += static_cast<size_t>(w);
        if (o.pos < o.bytes.size()) {
          toHostBlocked = true;
          break;
        }
        downloadDone |= o.endsDownload;
        toHost.pop_front();
      }
    }
    if (downloadDone && m_options.exitAfterDownload) {
      WaitHostDrained();
      return End::DownloadDone;
    }

    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    fds[count++] = {m_stopRead.Get(), POLLIN, 0};
    const nfds_t extra = count;  // meaningful only with a stop descriptor
    if (stopFd >= 0) fds[count++] = {stopFd, POLLIN, 0};
    const nfds_t mi = count;
    const bool mayRead = !pace || now >= nextReadNs;
    fds[count++] = {m_master.Get(), static_cast<short>((mayRead ? POLLIN : 0) | (writeBlocked || toHostBlocked ? POLLOUT : 0)), 0};

    uint64_t wake = now + kMaxWaitNs;
    if (const auto due = m_model->NextLineDueMs()) wake = std::min(wake, std::max(now, *due * kNsPerMs));
    if (!out.empty() && !writeBlocked) wake = std::min(wake, std::max(now, nextWriteNs));
    if (adapter) {
      if (const auto next = adapter->NextNs()) wake = std::min(wake, std::max(now, *next));
    }
    if (!mayRead) wake = std::min(wake, nextReadNs);
    const uint64_t waitNs = wake > now ? wake - now : 0;
    const timespec ts{static_cast<time_t>(waitNs / 1000000000ull), static_cast<long>(waitNs % 1000000000ull)};
    if (::ppoll(fds.data(), count, &ts, nullptr) < 0) {
      if (errno == EINTR) continue;
      m_error = ErrnoText("ppoll");
      return End::Failed;
    }
    if ((fds[0].revents & POLLIN) && !ownChannel()) return End::Stopped;
    if (stopFd >= 0 && (fds[extra].revents & (POLLIN | POLLHUP)) && !stopChannel()) return End::Stopped;

    const short rev = fds[mi].revents;
    if (rev & POLLIN) {
      now = nowNs();
      const uint32_t baud = SlaveBaud();
      const size_t most = pace ? LineBudget(now, nextReadNs, ByteNs(baud), buf.size(), hostBytesWaiting) : buf.size();
      if (most > 0) {
        const ssize_t r = ::read(m_master.Get(), buf.data(), most);
        if (r > 0) {
          if (pace) {
            nextReadNs += static_cast<uint64_t>(r) * ByteNs(baud);
            int left = 0;
            hostBytesWaiting = ::ioctl(m_master.Get(), FIONREAD, &left) == 0 && left > 0;
          }
          LogLine(now, true, baud, buf.data(), static_cast<size_t>(r));
          m_model->OnHostBytes(buf.data(), static_cast<size_t>(r), baud, now / kNsPerMs);
        } else if (r < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
          m_error = ErrnoText("read from the pty");
          return End::Failed;
        }
      }
    } else if (rev & (POLLHUP | POLLERR)) {
      // Only while no slave is open at all; ours keeps it open, so this is a short state.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (m_model->HungUp()) {
      m_master.Reset();  // the host sees the line go away
      m_slave.Reset();
      RemoveLink();
      return End::HungUp;
    }
  }
}

}  // namespace sim
