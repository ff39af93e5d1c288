// A download module busy with its flash: what comes meanwhile, and how long the work takes.
#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::Block;
using simtest::Erase;
using simtest::Hex;
using simtest::InModule;
using simtest::Request;
using simtest::ToHex;

namespace {

constexpr const char* kAck = "02 6A D3 7E";

// The code of each reply frame in the bursts: "02 A1".
std::string Codes(const std::vector<Burst>& bursts) {
  std::string out;
  bool first = true;
  for (const Burst& b : bursts) {
    for (uint8_t x : b.bytes) {
      if (first && x != 0x7E) out += (out.empty() ? "" : " ") + ToHex({x});
      first = x == 0x7E;
    }
  }
  return out;
}

bool StartsWith(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }

TEST(HandsetBusy, WhatComesWhileTheFlashIsAtWork) {
  const auto block1 = Block(0, std::vector<uint8_t>(4096, 0x00));
  const auto block2 = Block(0x1000, std::vector<uint8_t>(4096, 0x00));
  const auto erase = Erase(0, 0x2000);
  const auto start = Hex("7E A0 72 55 7E");
  std::vector<uint8_t> fourStarts;  // 20 bytes: the fourth overruns the FIFO
  for (int i = 0; i < 4; ++i) fourStarts.insert(fourStarts.end(), start.begin(), start.end());
  struct Case {
    const char* name;
    const char* busy;
    std::vector<uint8_t> work, meanwhile;
    const char* codes;
    bool block2Written;
    const char* outcome;  // of the last frame
  } cases[] = {
      {"block while a block is written, queue", "queue", block1, block2, "02 02", true, "reply 02"},
      {"block while a block is written, drop", "drop", block1, block2, "02", false, "lost: busy"},
      {"block while a block is written, nak", "nak", block1, block2, "02 A1", false, "overrun while busy: nak A1"},
      {"short frame while a block is written, drop", "drop", block1, start, "02 02", false, "reply 02"},
      {"short frame while a block is written, nak", "nak", block1, start, "02 02", false, "reply 02"},
      {"block during an erase, queue", "queue", erase, block2, "02 02", true, "reply 02"},
      {"block during an erase, drop", "drop", erase, block2, "02", false, "lost: busy"},
      {"block during an erase, nak", "nak", erase, block2, "02 A1", false, "overrun while busy: nak A1"},
      {"short frame during an erase, drop", "drop", erase, start, "02 02", false, "reply 02"},
      {"four short frames during an erase, drop", "drop", erase, fourStarts, "02 02 02 02", false, "lost: busy"},
      {"four short frames during an erase, nak", "nak", erase, fourStarts, "02 02 02 02 A1", false, "overrun"},
  };
  for (const auto& c : cases) {
    Bench b = InModule(std::string("flash-fill=FF; write-ms=200; erase-ms=1000; busy=") + c.busy);
    b.Send(c.work, 57600);
    b.Wait(1);
    b.Send(c.meanwhile, 57600);
    EXPECT_EQ(Codes(b.Bursts()), c.codes) << c.name;
    EXPECT_EQ(b.model.Flash().Bytes()[0x1000] == 0x00, c.block2Written) << c.name;
    EXPECT_TRUE(StartsWith(b.model.Records().back().outcome, c.outcome)) << c.name << ": " << b.model.Records().back().outcome;
  }
}

// Block 2 comes 10 ms into block 1's write; a download start once block 1's ACK is out, while
// the A1 for block 2 (nak) is still to come.
TEST(HandsetBusy, ALostFrameOwesNothingAndAnA1IsOwed) {
  for (const bool nak : {false, true}) {
    Bench b = InModule(nak ? "write-ms=200; busy=nak" : "write-ms=200; busy=drop");
    b.Send(Block(0, std::vector<uint8_t>(4096, 0x00)), 57600);
    b.Wait(10);
    b.Send(Block(0x1000, std::vector<uint8_t>(4096, 0x00)), 57600);
    EXPECT_TRUE(b.model.Records().back().whileOwed) << nak;
    b.Wait(195);  // the ACK is out by 204 ms, an A1 due at 207
    b.Send("7E A0 72 55 7E", 57600);
    EXPECT_EQ(b.model.Records().back().whileOwed, nak);
    EXPECT_EQ(b.model.RequestsWhileOwed(), nak ? 2u : 1u);
  }
}

// The ACK comes after the work, and the whole time a frame past the FIFO is lost (busy=drop);
// once the ACK is due the same frame is served.
TEST(HandsetBusy, WriteTimeAndStallsDelayTheAckAndKeepTheHandsetBusy) {
  const auto block = [](uint32_t n) { return Block(n * 0x1000, std::vector<uint8_t>(4096, 0x5A)); };
  const auto probe = Request(0x7E, std::vector<uint8_t>(40, 0x11));  // unknown: refused A3
  struct Case {
    const char* name;
    const char* scenario;
    std::vector<std::vector<uint8_t>> requests;
    std::vector<uint64_t> ackAfter;  // ms; 3 is the reply time alone: no work, never busy
  } cases[] = {
      {"no write time", "", {block(0)}, {3}},
      {"write-ms", "write-ms=250", {block(0)}, {253}},
      {"a stalled second block", "write-ms=20; stall=block:2:900", {block(0), block(1), block(2)}, {23, 923, 23}},
      {"a stalled erase", "erase-ms=1500; stall=erase:1:104000", {Erase(0, 0x1000)}, {105503}},
      {"an erase of ten minutes", "erase-ms=600000", {Erase(0, 0x1000)}, {600003}},
  };
  for (const auto& c : cases) {
    Bench b = InModule(std::string("busy=drop; ") + c.scenario);
    for (size_t i = 0; i < c.requests.size(); ++i) {
      b.Send(c.requests[i], 57600);
      const uint64_t sent = b.now;
      b.Wait(c.ackAfter[i] - 1);
      b.Send(probe, 57600);
      EXPECT_EQ(StartsWith(b.model.Records().back().outcome, "lost: busy"), c.ackAfter[i] > 3) << c.name << i;
      const auto out = b.Bursts(700000);
      ASSERT_FALSE(out.empty()) << c.name;
      EXPECT_EQ(out[0].dueMs - sent, c.ackAfter[i]) << c.name << i;
      EXPECT_EQ(ToHex(out[0].bytes), kAck) << c.name << i;
      b.Send(probe, 57600);
      EXPECT_TRUE(StartsWith(b.model.Records().back().outcome, "reply A3")) << c.name << i;
      b.Bursts();
      b.Wait(5);  // its A3 has left the line
    }
  }
}

}  // namespace
