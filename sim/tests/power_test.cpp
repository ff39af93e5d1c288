// Power cycles: what the handset boots into and what it drops.
#include <gtest/gtest.h>

#include <functional>

#include "SimTestUtil.h"

using namespace sim;
using simtest::Bench;
using simtest::Block;
using simtest::Erase;
using simtest::InModule;

namespace {

constexpr const char* kAck = "02 6A D3 7E";
constexpr const char* kStatusReq = "7F 0C 14 3A 7E";

// From DM into the module at 115200, the way the tool goes (no switch times).
void IntoModule(Bench& b) {
  b.Exchange("7F 29 01 00 31 40 7E", 57600);
  b.Exchange("7F 3A A1 6E 7E", 57600);
  b.Wait(5);
  for (const char* r : {"7E A0 72 55 7E", "7E B0 F3 45 7E", "7E F0 01 C6 62 7E", "7E C0 74 36 7E"}) {
    EXPECT_EQ(b.Exchange(r, 57600), kAck) << r;
  }
  b.Wait(5);
}

std::string Exchange(Bench& b, const std::vector<uint8_t>& request) {
  b.Send(request, 115200);
  return b.Reply();
}

TEST(HandsetPower, BootsIntoDownloadModeWhenTheFlashWasLeftIncomplete) {
  const auto nothing = [](Bench&) {};
  const auto erased = [](Bench& b) {
    IntoModule(b);
    EXPECT_EQ(Exchange(b, Erase(0, 0x1000)), kAck);
  };
  const auto completed = [erased](Bench& b) {
    erased(b);
    EXPECT_EQ(b.Exchange("7E C0 74 36 7E", 115200), kAck);
    b.Wait(5);  // its last byte is out
  };
  struct Case {
    const char* name;
    const char* scenario;
    std::function<void(Bench&)> before;
    HandsetMode mode;
    uint32_t baud;
    bool incomplete;
  } cases[] = {
      {"nothing done, start=dm", "", nothing, HandsetMode::Dm, 57600, false},
      {"nothing done, start=todm", "start=todm", nothing, HandsetMode::ToDmOnly, 9600, false},
      {"nothing done, start=download", "start=download; dload-baud=115200", nothing, HandsetMode::Download, 115200, false},
      {"in the module, nothing erased", "", IntoModule, HandsetMode::Dm, 57600, false},
      {"an erase refused", "", [](Bench& b) { IntoModule(b); Exchange(b, Erase(0xFF000, 0x2000)); },
       HandsetMode::Dm, 57600, false},
      {"interrupted after the erase", "", erased, HandsetMode::Download, 57600, true},
      {"interrupted, dload-baud 38400", "dload-baud=38400", erased, HandsetMode::Download, 38400, true},
      {"a block written without an erase", "",
       [](Bench& b) { IntoModule(b); Exchange(b, Block(0, std::vector<uint8_t>(16, 0))); }, HandsetMode::Download, 57600, true},
      {"download completed", "", completed, HandsetMode::Dm, 57600, false},
      {"completed, start=todm", "start=todm",
       [](Bench& b) {
         b.Exchange("7F AA 3F 00 7E", 9600);  // ToDM step 3
         b.Wait(10);
         IntoModule(b);
         EXPECT_EQ(Exchange(b, Erase(0, 0x1000)), kAck);
         b.Exchange("7E C0 74 36 7E", 115200);
         b.Wait(5);
       },
       HandsetMode::ToDmOnly, 9600, false},
      {"final jump's ACK not out yet", "stall=jump:2:5000",
       [erased](Bench& b) {
         erased(b);
         b.Send("7E C0 74 36 7E", 115200);
         b.Wait(4000);
       },
       HandsetMode::Download, 57600, true},
      {"completed, then erased again", "",
       [completed](Bench& b) {
         completed(b);
         IntoModule(b);
         EXPECT_EQ(Exchange(b, Erase(0, 0x1000)), kAck);
       },
       HandsetMode::Download, 57600, true},
  };
  for (const auto& c : cases) {
    Bench b(std::string("dload-ms=0; jump-ms=0; reboot-ms=0; todm-ms=0; ") + c.scenario);
    c.before(b);
    EXPECT_EQ(b.model.FlashIncomplete(b.now), c.incomplete) << c.name;
    EXPECT_EQ(b.model.PowerCycle(b.now), c.incomplete) << c.name;
    EXPECT_EQ(b.model.Mode(), c.mode) << c.name;
    EXPECT_EQ(b.model.Baud(), c.baud) << c.name;
    // A second one boots the same way: an interrupted download stays so until one completes.
    EXPECT_EQ(b.model.PowerCycle(b.now + 10), c.incomplete) << c.name;
    EXPECT_EQ(b.model.Mode(), c.mode) << c.name;
  }
}

TEST(HandsetPower, DropsWhatWasInProgress) {
  struct Case {
    const char* name;
    std::function<Bench()> make;  // sent what it sent; the power goes 10 ms later
    const char* after;            // then sent at the speed of the handset it booted as
    const char* reply;
  } cases[] = {
      {"a reply still to come", [] { Bench b("delay=status:1:500"); b.Send(kStatusReq, 57600); return b; }, "", ""},
      {"a reply held in the adapter", [] { Bench b("adapter=200"); b.Send(kStatusReq, 57600); return b; }, "", ""},
      {"a mode change to come",
       [] {
         Bench b("dload-ms=1000");
         b.Exchange("7F 29 01 00 31 40 7E", 57600);
         b.Send("7F 3A A1 6E 7E", 57600);
         return b;
       },
       kStatusReq, "0C 1E 2A A8 11 7E"},
      {"half a frame", [] { Bench b("start=download"); b.Send("7E A0 72", 57600); return b; }, "55 7E", "A1 FB 44 7E"},
      {"a busy erase (busy=drop)",
       [] {
         Bench b = InModule("busy=drop; erase-ms=5000");
         b.Send(Erase(0, 0x1000), 57600);
         return b;
       },
       "7E A0 72 55 7E 7E A0 72 55 7E 7E A0 72 55 7E 7E A0 72 55 7E", "02 6A D3 7E 02 6A D3 7E 02 6A D3 7E 02 6A D3 7E"},
  };
  for (const auto& c : cases) {
    Bench b = c.make();
    b.Wait(10);
    b.model.PowerCycle(b.now);
    EXPECT_EQ(b.Exchange(c.after, b.model.Baud()), c.reply) << c.name;
    for (const FrameRecord& r : b.model.Records()) EXPECT_FALSE(r.whileOwed) << c.name << ": " << FormatRecord(r);
  }
}

}  // namespace
