// --json's stream of a station or a watch to a reader that stops reading, over a real pipe of
// one page: writing never waits, what waits is bounded, progress events give way first and
// are counted in "dropped", every other event arrives in order, and "finished" stays last.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "EventOutput.h"
#include "EventSchema.h"
#include "JsonEvents.h"

using json = nlohmann::ordered_json;

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    EXPECT_EQ(pipe2(fd, O_CLOEXEC), 0);
    fcntl(fd[1], F_SETPIPE_SZ, 4096);  // one page: a reader falls behind at once
  }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  // All the reader can take now.
  std::string Take() {
    std::string text;
    const int flags = fcntl(fd[0], F_GETFL);
    fcntl(fd[0], F_SETFL, flags | O_NONBLOCK);
    char buf[65536];
    for (ssize_t n; (n = read(fd[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    fcntl(fd[0], F_SETFL, flags);
    return text;
  }
};

// The events' clock, in milliseconds: a little later for each, as a station's would be;
// "dropped" takes its time too.
std::atomic<int> g_ms{0};
double Now() { return g_ms / 1000.0; }
json Event(const std::string& device, const char* event, const json& body) {
  ++g_ms;
  return EventObject(Now(), device, event, body);
}
json Progress(const std::string& device, int block, int blocks) {
  return Event(device, "progress",
               {{"block", block}, {"blocks", blocks}, {"address", 4096 * block}, {"bytes", 4096 * block},
                {"bytes_per_s", 1000}, {"eta_s", nullptr}});
}
json Started(const std::string& device) {
  return Event(device, "started", {{"command", "download"}, {"type", "normal"}, {"image", "fw.bin"}, {"speed", 115200}});
}

TEST(EventOutput, AStalledReaderHoldsUpNothingProgressGivesWayAndEveryOtherEventArrivesInOrder) {
  Pipe p;
  std::ostringstream unused;
  constexpr size_t kBound = 3000;
  auto out = std::make_unique<CEventOutput>(p.fd[1], unused, Now, kBound);
  EXPECT_FALSE(fcntl(p.fd[1], F_GETFL) & O_NONBLOCK) << "the descriptor as inherited is left as it was";

  const std::vector<std::string> devices = {"/dev/a", "/dev/b"};
  constexpr int kBlocks = 400;
  std::vector<std::string> kept;  // the events other than progress, in the order written
  auto emit = [&](const json& e) {
    if (e["event"] != "progress") kept.push_back(e["device"].get<std::string>() + " " + e["event"].get<std::string>());
    out->Emit(e);
  };
  for (const auto& d : devices) {
    emit(Started(d));
    emit(Event(d, "phase", {{"name", "programming"}}));
  }
  for (int block = 0; block <= kBlocks; ++block) {
    for (const auto& d : devices) emit(Progress(d, block, kBlocks));
    if (block % 100 == 50) emit(Event(devices[0], "log", {{"kind", "info"}, {"text", "block " + std::to_string(block)}}));
    // Bounded however far behind the reader is (the lines never given way to aside).
    EXPECT_LE(out->WaitingBytes(), kBound + 2000) << block;
  }
  emit(Event(devices[0], "finished", {{"outcome", "completed"}, {"exit", 0}, {"elapsed_s", 3.5}}));
  EXPECT_TRUE(out->Waiting());
  EXPECT_GE(out->WaitingFd(), 0);

  // The reader catches up.
  std::string text;
  for (int i = 0; i < 1000 && (out->Waiting() || i == 0); ++i) {
    text += p.Take();
    out->Write();
  }
  text += p.Take();
  EXPECT_FALSE(out->Waiting());
  EXPECT_EQ(out->WaitingFd(), -1);
  emit(Event(devices[1], "finished", {{"outcome", "no-reply"}, {"exit", 1}, {"elapsed_s", 4.0}}));
  text += p.Take();

  const StreamCheck check = CheckEventStream(text, devices);
  EXPECT_TRUE(check.errors.empty()) << check.errors;
  std::vector<std::string> got;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const json e = json::parse(line);
    if (e["event"] != "progress" && e["event"] != "dropped")
      got.push_back(e["device"].get<std::string>() + " " + e["event"].get<std::string>());
  }
  EXPECT_EQ(got, kept);
  for (const auto& d : devices) {
    const DeviceStream& s = check.devices.at(d);
    EXPECT_GT(s.droppedProgress, 0) << d;
    EXPECT_EQ(s.droppedLog, 0) << d;
    EXPECT_EQ(s.progressEvents + s.droppedProgress, kBlocks + 1) << d;
  }
}

TEST(EventOutput, FarBehindLogsGiveWayTooAndAReaderThatWentAwayEndsTheWriting) {
  Pipe p;
  std::ostringstream unused;
  CEventOutput out(p.fd[1], unused, Now, 1000);
  out.Emit(Started("/dev/a"));
  for (int i = 0; i < 400; ++i) out.Emit(Event("/dev/a", "log", {{"kind", "info"}, {"text", std::string(80, 'x')}}));
  EXPECT_LE(out.WaitingBytes(), 4 * 1000u + 200);
  out.Emit(Event("/dev/a", "finished", {{"outcome", "completed"}, {"exit", 0}, {"elapsed_s", 1.0}}));
  std::string text;
  for (int i = 0; i < 1000 && out.Waiting(); ++i) {
    text += p.Take();
    out.Write();
  }
  text += p.Take();
  const StreamCheck check = CheckEventStream(text, {"/dev/a"});
  EXPECT_TRUE(check.errors.empty()) << check.errors;
  EXPECT_GT(check.devices.at("/dev/a").droppedLog, 0);
  EXPECT_EQ(check.devices.at("/dev/a").outcome, "completed");

  // The reader goes: the writer learns it, without a SIGPIPE and without waiting.
  signal(SIGPIPE, SIG_IGN);
  close(p.fd[0]);
  p.fd[0] = -1;
  out.Emit(Started("/dev/b"));
  EXPECT_TRUE(out.Broken());
  EXPECT_FALSE(out.Waiting());
}

// A stream in memory (a caller's test) takes each line as it comes, nothing dropped.
TEST(EventOutput, AStreamInMemoryTakesEveryLine) {
  std::ostringstream stream;
  CEventOutput out(-1, stream, nullptr, 10);
  for (int block = 0; block < 50; ++block) out.Emit(Progress("/dev/a", block, 49));
  const std::string text = stream.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 50);
  EXPECT_EQ(out.WaitingFd(), -1);
}

}  // namespace
