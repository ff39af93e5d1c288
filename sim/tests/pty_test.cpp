// The real-time runner behind a pty, with a test playing the host on the slave.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "PtyHandset.h"
#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::Hex;
using simtest::Request;
using simtest::ToHex;
using simtest::Unescape;

namespace {

// The host's end: the slave opened raw at a speed.
class CHostEnd {
 public:
  CHostEnd(const std::string& path, speed_t speed) : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    termios t{};
    if (m_fd.Valid() && ::tcgetattr(m_fd.Get(), &t) == 0) {
      ::cfmakeraw(&t);
      ::cfsetispeed(&t, speed);
      ::cfsetospeed(&t, speed);
      m_ok = ::tcsetattr(m_fd.Get(), TCSANOW, &t) == 0;
    }
  }
  bool Ok() const { return m_ok; }
  bool Write(const std::vector<uint8_t>& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::write(m_fd.Get(), bytes.data() + at, bytes.size() - at);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  // One read of what has arrived, waiting at most timeoutMs for something.
  std::vector<uint8_t> ReadSome(int timeoutMs) {
    pollfd p{m_fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return {};
    uint8_t buf[256];
    const ssize_t n = ::read(m_fd.Get(), buf, sizeof buf);
    return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>{};
  }
  // Reads until a 0x7E arrives or the time is up; hungUp tells whether the line went away.
  std::vector<uint8_t> ReadFrame(int timeoutMs, bool* hungUp = nullptr) {
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.empty() || got.back() != 0x7E) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{m_fd.Get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t buf[256];
      const ssize_t n = ::read(m_fd.Get(), buf, sizeof buf);
      if (n <= 0) {
        if (hungUp) *hungUp = true;
        break;
      }
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  CUniqueFd m_fd;
  bool m_ok = false;
};

struct Runner {
  explicit Runner(const std::string& scenario, PtyOptions options = {}, size_t flash = 1 << 20)
      : pty(std::make_unique<CHandsetModel>(Bench::Parse(scenario), flash), std::move(options)) {}
  bool Start() {
    if (!pty.Open()) return false;
    thread = std::thread([this] { end = pty.Run(); });
    return true;
  }
  CPtyHandset::End Finish() {
    pty.Stop();
    if (thread.joinable()) thread.join();
    return end;
  }
  ~Runner() { Finish(); }

  CPtyHandset pty;
  std::thread thread;
  CPtyHandset::End end = CPtyHandset::End::Failed;
};

TEST(PtyHandset, AnswersAVersionRequestOnTheSlave) {
  Runner r("rev=4321");
  ASSERT_TRUE(r.Start()) << r.pty.Error();
  CHostEnd host(r.pty.SlavePath(), B57600);
  ASSERT_TRUE(host.Ok());
  ASSERT_TRUE(host.Write(Hex("7F 00 78 F0 7E")));
  const std::vector<uint8_t> plain = Unescape(host.ReadFrame(5000));
  ASSERT_EQ(plain.size(), 56u);
  EXPECT_EQ(plain[0], 0x00);
  EXPECT_EQ(plain[50] | plain[51] << 8, 4321);
  const uint32_t crc = static_cast<uint32_t>(plain[52]) << 24 | plain[53] << 16 | plain[54] << 8 | plain[55];
  EXPECT_EQ(crc, crc::Crc30(plain.data(), 52 * 8));
  EXPECT_EQ(r.Finish(), CPtyHandset::End::Stopped);
  const auto& rec = r.pty.Model().Records();
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec[0].baud, 57600u);
  EXPECT_EQ(rec[0].check, FrameCheck::Ok);
}

TEST(PtyHandset, LinkPointsAtTheSlaveUntilTheEnd) {
  const std::string link = ::testing::TempDir() + "/sim_pty_link";
  ::unlink(link.c_str());
  std::string slave;
  {
    Runner r("", PtyOptions{false, link, false, ""});
    ASSERT_TRUE(r.Start()) << r.pty.Error();
    slave = r.pty.SlavePath();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), slave);
    CHostEnd host(link, B57600);  // the host may open the link
    ASSERT_TRUE(host.Ok());
    ASSERT_TRUE(host.Write(Hex("7F 0C 14 3A 7E")));
    EXPECT_EQ(ToHex(host.ReadFrame(5000)), "0C 1E 2A A8 11 7E");
  }
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

TEST(PtyHandset, StopDescriptorEndsTheRun) {
  CPtyHandset pty(std::make_unique<CHandsetModel>(CScenario{}, 4096), PtyOptions{});
  ASSERT_TRUE(pty.Open()) << pty.Error();
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  CUniqueFd readEnd(p[0]), writeEnd(p[1]);
  std::thread t([&] { ASSERT_EQ(::write(writeEnd.Get(), "x", 1), 1); });
  EXPECT_EQ(pty.Run(readEnd.Get()), CPtyHandset::End::Stopped);
  t.join();
}

TEST(PtyHandset, RefusesToReplaceAFile) {
  const std::string path = ::testing::TempDir() + "/sim_pty_not_a_link";
  { std::FILE* f = std::fopen(path.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
  CPtyHandset pty(std::make_unique<CHandsetModel>(CScenario{}, 4096), PtyOptions{false, path, false, ""});
  EXPECT_FALSE(pty.Open());
  EXPECT_NE(pty.Error().find("not a symbolic link"), std::string::npos) << pty.Error();
  std::remove(path.c_str());
}

TEST(PtyHandset, HangUpClosesTheLine) {
  Runner r("hangup=version:1");
  ASSERT_TRUE(r.Start()) << r.pty.Error();
  CHostEnd host(r.pty.SlavePath(), B57600);
  ASSERT_TRUE(host.Ok());
  ASSERT_TRUE(host.Write(Hex("7F 00 78 F0 7E")));
  r.thread.join();
  EXPECT_EQ(r.end, CPtyHandset::End::HungUp);
  bool hungUp = false;
  EXPECT_TRUE(host.ReadFrame(2000, &hungUp).empty());
  EXPECT_TRUE(hungUp);
}

// A paced EMERGENCY download from start to the final jump; the runner ends on its own. The line
// log holds every byte both ways, in order, at the times the line rate allows.
TEST(PtyHandset, PacedDownloadEndsAfterTheFinalJump) {
  const std::string logPath = ::testing::TempDir() + "/sim_pty_line_log";
  std::vector<uint8_t> sent;
  auto wallNow = [] { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); };
  const double wallBefore = wallNow();
  double wallAfter = 0;
  {
    Runner r("start=download; jump-ms=0; erase-ms=0; reboot-ms=0; flash-fill=00; pace=on",
             PtyOptions{false, "", true, logPath});
    ASSERT_TRUE(r.Start()) << r.pty.Error();
    CHostEnd host(r.pty.SlavePath(), B57600);
    ASSERT_TRUE(host.Ok());
    std::vector<uint8_t> block{0xDD, 0x00, 0x20, 0x00, 0x00, 0x00, 0x10};
    for (int i = 0; i < 4096; ++i) block.push_back(static_cast<uint8_t>(0x70 + i % 16));
    const std::vector<std::vector<uint8_t>> requests = {
        Hex("7E A0 72 55 7E"), Hex("7E B0 F3 45 7E"), Hex("7E F0 00 4F 73 7E"), Hex("7E C0 74 36 7E"),
        Hex("7E A0 72 55 7E"), Request(0x7E, Hex("EE 00 20 00 00 00 10 00 00")), Request(0x7E, block),
        Hex("7E C0 74 36 7E")};
    for (size_t i = 0; i < requests.size(); ++i) {
      ASSERT_TRUE(host.Write(requests[i])) << i;
      EXPECT_EQ(ToHex(host.ReadFrame(5000)), "02 6A D3 7E") << i;
      if (requests[i][1] == 0xC0) std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the jump
    }
    r.thread.join();
    EXPECT_EQ(r.end, CPtyHandset::End::DownloadDone);
    const auto& flash = r.pty.Model().Flash().Bytes();
    EXPECT_TRUE(std::equal(block.begin() + 7, block.end(), flash.begin() + 0x2000));
    EXPECT_EQ(flash[0x1FFF], 0x00);
    EXPECT_EQ(r.pty.Model().DownloadsCompleted(), 1u);
    for (const auto& q : requests) sent.insert(sent.end(), q.begin(), q.end());
    wallAfter = wallNow();
  }

  std::ifstream log(logPath);
  ASSERT_TRUE(log.is_open());
  // Time 0 on the wall clock first, as the test saw it around the run.
  std::string head;
  ASSERT_TRUE(std::getline(log, head));
  ASSERT_EQ(head.rfind("# t0 ", 0), 0u) << head;
  const double wallT0 = std::stod(head.substr(5));
  EXPECT_LE(wallT0, wallAfter);
  EXPECT_GE(wallT0, wallBefore);
  std::vector<uint8_t> fromHost, fromHandset;
  double last = 0, blockStart = -1, blockAck = -1;
  size_t blockBytes = 0;
  int hostTail = -1;  // the last byte of the host's last read
  std::string line;
  while (std::getline(log, line)) {
    std::istringstream in(line);
    double t = 0;
    std::string who;
    unsigned baud = 0;
    ASSERT_TRUE(in >> t >> who >> baud) << line;
    EXPECT_GE(t, last) << line;
    EXPECT_EQ(baud, 57600u) << line;
    last = t;
    std::vector<uint8_t> bytes;
    for (std::string h; in >> h;) bytes.push_back(static_cast<uint8_t>(std::stoul(h, nullptr, 16)));
    ASSERT_FALSE(bytes.empty()) << line;
    EXPECT_LE(bytes.size(), 32u) << line;
    // The block's opening flag and command may come in two reads.
    size_t from = 0;
    if (who == "host" && blockStart < 0) {
      for (size_t i = 0; i < bytes.size() && blockStart < 0; ++i) {
        const int prev = i > 0 ? bytes[i - 1] : hostTail;
        if (prev == 0x7E && bytes[i] == 0xDD) {
          blockStart = t;
          from = i > 0 ? i - 1 : 0;
        }
      }
    }
    if (who == "host") hostTail = bytes.back();
    if (blockStart >= 0 && blockAck < 0 && who == "host") blockBytes += bytes.size() - from;
    if (blockStart >= 0 && blockAck < 0 && who == "handset") blockAck = t;
    auto& to = who == "host" ? fromHost : fromHandset;
    ASSERT_TRUE(who == "host" || who == "handset") << line;
    to.insert(to.end(), bytes.begin(), bytes.end());
  }
  std::remove(logPath.c_str());
  EXPECT_EQ(ToHex(fromHost), ToHex(sent));
  std::string acks;
  for (size_t i = 0; i < 8; ++i) acks += i ? " 02 6A D3 7E" : "02 6A D3 7E";
  EXPECT_EQ(ToHex(fromHandset), acks);
  // The block's bytes took their line time: 10 bits each at 57600 bit/s, less the first.
  ASSERT_GT(blockBytes, 4100u);
  EXPECT_GE(blockAck - blockStart, static_cast<double>(blockBytes - 1) * 10 / 57600);
}

// Paced, through an adapter that hands over 4 bytes at a time or holds for 300 ms: the host
// reads the status reply as 4 bytes at once, then the last 2 when the hold has run out.
TEST(PtyHandset, AdapterHandsOverPacketsAndHoldsTheRest) {
  Runner r("pace=on; adapter=300:4");
  ASSERT_TRUE(r.Start()) << r.pty.Error();
  CHostEnd host(r.pty.SlavePath(), B57600);
  ASSERT_TRUE(host.Ok());
  using Clock = std::chrono::steady_clock;
  const auto sent = Clock::now();
  ASSERT_TRUE(host.Write(Hex("7F 0C 14 3A 7E")));
  std::vector<uint8_t> got;
  std::vector<double> at;  // ms after the request, for each byte
  while (got.size() < 6) {
    const std::vector<uint8_t> part = host.ReadSome(3000);
    if (part.empty()) break;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    for (uint8_t b : part) {
      got.push_back(b);
      at.push_back(ms);
    }
  }
  ASSERT_EQ(ToHex(got), "0C 1E 2A A8 11 7E");
  EXPECT_LT(at[3], 250.0);  // the packet went as soon as it was full
  EXPECT_GE(at[4] - at[3], 250.0);  // the rest waited out the hold
  EXPECT_EQ(at[5], at[4]);  // and came in one piece
  EXPECT_EQ(r.Finish(), CPtyHandset::End::Stopped);
}

// From another thread: the reply still to come dies with the power, the sink hears of it.
TEST(PtyHandset, PowerCycleFromAnotherThread) {
  Runner r("delay=status:1:1000");  // ample for a loaded machine to get the power cycle in first
  std::vector<std::pair<HandsetMode, bool>> boots;
  r.pty.SetPowerCycleSink([&](const CHandsetModel& m, bool incomplete) { boots.emplace_back(m.Mode(), incomplete); });
  std::atomic<int> frames{0};
  r.pty.Model().SetRecordSink([&](const FrameRecord&) { ++frames; });
  ASSERT_TRUE(r.Start()) << r.pty.Error();
  CHostEnd host(r.pty.SlavePath(), B57600);
  ASSERT_TRUE(host.Ok());
  ASSERT_TRUE(host.Write(Hex("7F 0C 14 3A 7E")));
  for (int i = 0; i < 500 && frames == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  r.pty.PowerCycle();
  EXPECT_TRUE(host.ReadFrame(1300).empty());
  ASSERT_TRUE(host.Write(Hex("7F 0C 14 3A 7E")));
  EXPECT_EQ(ToHex(host.ReadFrame(3000)), "0C 1E 2A A8 11 7E");
  EXPECT_EQ(r.Finish(), CPtyHandset::End::Stopped);
  ASSERT_EQ(boots.size(), 1u);
  EXPECT_EQ(boots[0].first, HandsetMode::Dm);
  EXPECT_FALSE(boots[0].second);
}

// Apart from other test processes, this build's or another's.
std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "/" + name + "_" + std::to_string(::getpid());
}

// tarvisel-sim as built, its stderr in a file, the host on its link.
class CSimProgram {
 public:
  CSimProgram(const std::string& scenario, const std::string& tag, std::vector<std::string> more = {})
      : m_link(TempPath(tag + "_link")), m_err(TempPath(tag + "_err")) {
    ::unlink(m_link.c_str());
    std::vector<std::string> args{TARVISEL_SIM_PATH, "--scenario", scenario, "--flash-size", "64K", "--link", m_link};
    args.insert(args.end(), more.begin(), more.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (::posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    struct stat st {};
    for (int i = 0; i < 500 && m_pid > 0 && ::lstat(m_link.c_str(), &st) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~CSimProgram() {
    if (m_pid > 0) Stop();
    std::remove(m_err.c_str());
  }
  const std::string& Link() const { return m_link; }
  void Signal(int sig) const { ::kill(m_pid, sig); }
  std::string Err() const {
    std::ifstream in(m_err);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool WaitForErr(const std::string& text) const {
    for (int i = 0; i < 500; ++i) {
      if (Err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  int Stop() {
    Signal(SIGTERM);
    int status = -1;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return status;
  }

 private:
  std::string m_link, m_err;
  pid_t m_pid = -1;
};

// SIGUSR1 in the middle of a download, then after a completed one; the flash is kept.
TEST(SimProgram, Sigusr1PowerCyclesTheHandset) {
  CSimProgram sim("dload-ms=0; jump-ms=0; erase-ms=0; reboot-ms=0; flash-fill=00", "sim_power");
  CHostEnd host(sim.Link(), B57600);
  ASSERT_TRUE(host.Ok()) << sim.Err();
  auto exchange = [&](const std::vector<uint8_t>& request) {
    EXPECT_TRUE(host.Write(request));
    const std::string reply = ToHex(host.ReadFrame(3000));
    if (request[1] == 0xC0 || request[1] == 0x3A) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return reply;
  };
  std::vector<uint8_t> block{0xDD, 0x00, 0x20, 0x00, 0x00, 0x00, 0x10};
  for (int i = 0; i < 4096; ++i) block.push_back(static_cast<uint8_t>(i * 13));
  auto download = [&] {  // at 57600 all along: F0 00
    for (const char* r : {"7E A0 72 55 7E", "7E B0 F3 45 7E", "7E F0 00 4F 73 7E", "7E C0 74 36 7E", "7E A0 72 55 7E"}) {
      EXPECT_EQ(exchange(Hex(r)), "02 6A D3 7E") << r;
    }
    EXPECT_EQ(exchange(Request(0x7E, Hex("EE 00 20 00 00 00 10 00 00"))), "02 6A D3 7E");
    EXPECT_EQ(exchange(Request(0x7E, block)), "02 6A D3 7E");
  };
  EXPECT_EQ(exchange(Hex("7F 29 01 00 31 40 7E")), "29 01 00 0A 71 8F F2 7E");
  EXPECT_EQ(exchange(Hex("7F 3A A1 6E 7E")), "3A 18 FF 77 ED 7E");
  download();
  sim.Signal(SIGUSR1);
  EXPECT_TRUE(sim.WaitForErr("power cycle: boots into download mode (flash incomplete) at 57600 bit/s")) << sim.Err();
  download();
  EXPECT_EQ(exchange(Hex("7E C0 74 36 7E")), "02 6A D3 7E");
  sim.Signal(SIGUSR1);
  EXPECT_TRUE(sim.WaitForErr("power cycle: boots into dm mode at 57600 bit/s")) << sim.Err();
  EXPECT_EQ(exchange(Hex("7F 0C 14 3A 7E")), "0C 1E 2A A8 11 7E");
  const int status = sim.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(sim.Err().find("bits flipped on the line: 0 host to handset, 0 handset to host"), std::string::npos);
  EXPECT_NE(sim.Err().find("requests sent while a reply was owed: 0"), std::string::npos) << sim.Err();
}

// The cable lives in the model: behind the pty it flips what it flips in process, for the
// host's bytes the program read (its line log says which).
TEST(SimProgram, FlipsTheSameBitsBehindThePtyAsInProcess) {
  const std::string scenario = "ber=0.01:7";
  const std::string logPath = TempPath("sim_ber_line_log");
  CSimProgram sim(scenario, "sim_ber", {"--line-log", logPath});
  CHostEnd host(sim.Link(), B57600);
  ASSERT_TRUE(host.Ok()) << sim.Err();
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(host.Write(Hex("7F 0C 14 3A 7E")));
    host.ReadSome(5);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int status = sim.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string err = sim.Err();
  const size_t at = err.find("bits flipped on the line: ");
  unsigned long long fromHost = 0, toHost = 0;
  ASSERT_NE(at, std::string::npos) << err;
  ASSERT_EQ(std::sscanf(err.c_str() + at, "bits flipped on the line: %llu host to handset, %llu handset to host", &fromHost,
                        &toHost),
            2)
      << err;

  Bench bench(scenario);
  std::vector<uint8_t> written;  // by the program, after the cable
  std::ifstream log(logPath);
  for (std::string line; std::getline(log, line);) {
    std::istringstream in(line);
    double t = 0;
    std::string who;
    unsigned baud = 0;
    in >> t >> who >> baud;
    std::vector<uint8_t> bytes;
    for (std::string h; in >> h;) bytes.push_back(static_cast<uint8_t>(std::stoul(h, nullptr, 16)));
    if (who == "host") bench.Send(bytes, 57600);
    if (who == "handset") written.insert(written.end(), bytes.begin(), bytes.end());
  }
  std::remove(logPath.c_str());
  std::vector<uint8_t> replies;
  for (const Burst& b : bench.Bursts(100000)) replies.insert(replies.end(), b.bytes.begin(), b.bytes.end());
  EXPECT_GT(bench.model.BitsFlippedFromHost(), 0u);
  EXPECT_EQ(fromHost, bench.model.BitsFlippedFromHost());
  EXPECT_EQ(toHost, bench.model.BitsFlippedToHost());
  ASSERT_LE(written.size(), replies.size());
  EXPECT_GT(written.size(), 100u);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), replies.begin()));
}

TEST(LineBudgetTest, CreditOnlyForALineThatWasBusy) {
  constexpr uint64_t kByte = 100000;  // 100 us a byte
  constexpr uint64_t kNext = 1000000000;
  struct Case {
    const char* name;
    uint64_t now;
    size_t most;
    bool busy;
    size_t bytes;
    uint64_t nextAfter;  // before the caller moves it on
  };
  const Case cases[] = {
      {"too early", kNext - 1, 64, false, 0, kNext},
      {"on time", kNext, 64, false, 1, kNext},
      {"a little late", kNext + 350000, 64, false, 4, kNext},
      {"a little late, busy", kNext + 350000, 64, true, 4, kNext},
      {"idle for 30 ms", kNext + 30000000, 4096, false, 1, kNext + 30000000},
      {"busy while 30 ms late", kNext + 30000000, 4096, true, 301, kNext},
      {"busy, capped", kNext + 30000000, 64, true, 64, kNext},
  };
  for (const auto& c : cases) {
    uint64_t next = kNext;
    EXPECT_EQ(LineBudget(c.now, next, kByte, c.most, c.busy), c.bytes) << c.name;
    EXPECT_EQ(next, c.nextAfter) << c.name;
  }
}

}  // namespace
