// One port, one program: a second tarvisel-cli, or a terminal program's flock, keeps the tool
// off a port it holds. Run as root and again as an ordinary user (the exclusive flag stops the
// latter first, the lock stops root).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "Subprocess.h"
#include "TestPrograms.h"
#include "platform/PortLockHolder.h"
#include "platform/UniqueFd.h"

namespace {

using namespace std::chrono_literals;

class PortLockSim : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-lock-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    // A handset that never answers keeps the first program on the port until its --timeout.
    sim = std::make_unique<CChild>(
        std::vector<std::string>{SimProgram(), "--scenario", "silent=version:*", "--link", Pty()}, dir, "sim");
    ASSERT_TRUE(sim->Started());
    // A sanitizer build on a loaded machine takes its time to start.
    for (int i = 0; i < 3000 && !std::filesystem::exists(Pty()); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(Pty())) << sim->Err();
  }
  void TearDown() override {
    if (sim) {
      sim->Signal(SIGTERM);
      sim->Wait(20s);
    }
    unsetenv("TARVISEL_SETTINGS");
    unsetenv("XDG_DATA_HOME");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string Pty() const { return dir + "/pty"; }
  // The second program's run: refused at once, exit 5, the port and the holder named, no byte
  // sent (its wire trace has no TX line).
  void ExpectRefused(long holder, const std::string& tag) {
    const std::string trace = dir + "/" + tag + ".wire";
    const ProcessResult r = RunProgram({CliProgram(), "info", "--device", Pty(), "--trace-wire", trace}, dir, tag);
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("\"" + Pty() + "\" is in use by another program (process " + std::to_string(holder)),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ReadWholeFile(trace).find(" TX "), std::string::npos);
  }

  std::string dir;
  std::unique_ptr<CChild> sim;
};

TEST_F(PortLockSim, ASecondToolOnTheSamePortIsRefusedAndNamesTheFirst) {
  CChild first({CliProgram(), "info", "--device", Pty(), "--timeout", "3"}, dir, "first");
  ASSERT_TRUE(first.Started());
  std::optional<tty::LockHolder> holder;
  for (int i = 0; i < 300 && !holder; ++i) {
    std::this_thread::sleep_for(10ms);
    holder = tty::LockHolderOfPath(Pty());
  }
  ASSERT_TRUE(holder) << first.Err();
  ExpectRefused(holder->pid, "second");
  EXPECT_EQ(holder->program, "tarvisel-cli");
  // Refused while the first still had the port, which it keeps to its own end.
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(first.Wait(30s), 1) << first.Err();
  EXPECT_EQ(first.Err().find("in use by another program"), std::string::npos) << first.Err();
}

// A terminal program that only locks (picocom does) sets no exclusive flag: the lock alone
// keeps the tool out, and once it is let go the port opens.
TEST_F(PortLockSim, AnotherProgramsFlockKeepsThePort) {
  CUniqueFd terminal(::open(Pty().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(terminal.Valid());
  ASSERT_EQ(::flock(terminal.Get(), LOCK_EX | LOCK_NB), 0);
  ExpectRefused(::getpid(), "locked");
  terminal.Reset();
  const ProcessResult after = RunProgram({CliProgram(), "info", "--device", Pty(), "--timeout", "1"}, dir, "after");
  EXPECT_EQ(after.status, 1) << after.err;  // it opened and asked: the handset is silent
  EXPECT_EQ(after.err.find("in use by another program"), std::string::npos) << after.err;
}

}  // namespace
