// --json's objects as a reader sees them, the lines of the console view they carry, the rate
// and time left of programming, and the names of --log-dir's files.
#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "ConsoleView.h"
#include "JsonEvents.h"
#include "LogDir.h"
#include "ProgressRate.h"

namespace {

using json = nlohmann::json;

std::vector<json> Lines(const std::string& text) {
  std::vector<json> objects;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) objects.push_back(json::parse(line));
  return objects;
}

TEST(JsonEvents, EachEventIsOneLineWithItsFields) {
  uint64_t now = 5000;
  std::ostringstream out;
  CJsonEventWriter w(out, "/dev/serial/by-id/usb-X-port0", [&] { return now; });
  w.Started(EngineCommand::Download, std::string("normal"), std::string("fw.bin"), 115200);
  now += 250;
  w.Phase(EnginePhase::Erase);
  // Blanks within a text stay; those the handset pads it with at the end go.
  w.Phone({"Ver02.03    ABCDEFGH \t", std::string("Dec 08 2026\0 ", 13), "PCB 1.0   ", 203});
  now += 1000;
  w.Progress({3, 16, 0x12000, 3 * 4096}, {12288.0, 3.25});
  w.Progress({0, 16, 0x10000, 0}, {0.0, std::nullopt});
  w.Log("error", "패킷 재전송 ADDRESS: 0x0012000h");
  now += 1;
  w.Finished("completed", 0);

  const std::vector<json> got = Lines(out.str());
  ASSERT_EQ(got.size(), 7u) << out.str();
  const struct {
    const char* event;
    double t;
    json fields;
  } want[] = {
      {"started", 0.0, {{"command", "download"}, {"type", "normal"}, {"image", "fw.bin"}, {"speed", 115200}}},
      {"phase", 0.25, {{"name", "erase"}}},
      {"phone", 0.25, {{"sw", "Ver02.03    ABCDEFGH"}, {"compiled", "Dec 08 2026"}, {"pcb", "PCB 1.0"}, {"revision", 203}}},
      {"progress", 1.25,
       {{"block", 3}, {"blocks", 16}, {"address", 0x12000}, {"bytes", 12288}, {"bytes_per_s", 12288}, {"eta_s", 3.3}}},
      {"progress", 1.25,
       {{"block", 0}, {"blocks", 16}, {"address", 0x10000}, {"bytes", 0}, {"bytes_per_s", 0}, {"eta_s", nullptr}}},
      {"log", 1.25, {{"kind", "error"}, {"text", "패킷 재전송 ADDRESS: 0x0012000h"}}},
      {"finished", 1.251, {{"outcome", "completed"}, {"exit", 0}, {"elapsed_s", 1.251}}},
  };
  for (size_t i = 0; i < got.size(); ++i) {
    const json& o = got[i];
    EXPECT_EQ(o["v"], 1) << o;
    EXPECT_DOUBLE_EQ(o["t"].get<double>(), want[i].t) << o;
    EXPECT_EQ(o["device"], "/dev/serial/by-id/usb-X-port0") << o;
    EXPECT_EQ(o["event"], want[i].event) << o;
    EXPECT_EQ(o.size(), 4 + want[i].fields.size()) << "no field beyond the event's own: " << o;
    for (const auto& [key, value] : want[i].fields.items()) EXPECT_EQ(o[key], value) << want[i].event << "." << key;
  }
  // The common fields lead each line, so a reader with grep finds them in place.
  EXPECT_EQ(out.str().rfind("{\"v\":1,\"t\":", 0), 0u);
}

TEST(JsonEvents, InfoAndToDmHaveNoImageOrTypeAndNothingFollowsTheFinish) {
  std::ostringstream out;
  CJsonEventWriter w(out, "/dev/ttyS0", [] { return uint64_t{0}; });
  w.Started(EngineCommand::Info, std::nullopt, std::nullopt, std::nullopt);
  w.Phase(EnginePhase::Info);
  w.Finished("no-reply", 1);
  EXPECT_TRUE(w.IsFinished());
  w.Log("step", "after the end");
  w.Phase(EnginePhase::ToDm);
  w.Finished("completed", 0);
  const std::vector<json> got = Lines(out.str());
  ASSERT_EQ(got.size(), 3u) << out.str();
  EXPECT_EQ(got[0]["command"], "info");
  EXPECT_TRUE(got[0]["type"].is_null() && got[0]["image"].is_null() && got[0]["speed"].is_null());
  EXPECT_EQ(got[1]["name"], "info");
  EXPECT_EQ(got[2]["outcome"], "no-reply");
}

TEST(JsonEvents, TextThatIsNotUtf8StillMakesALineAndABrokenStreamIsLeftAlone) {
  std::ostringstream out;
  CJsonEventWriter w(out, "/dev/ttyS0", [] { return uint64_t{0}; });
  w.Log("step", std::string("bad \xC0\xFF bytes"));
  const std::vector<json> got = Lines(out.str());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["text"].get<std::string>().rfind("bad ", 0), 0u);

  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  CJsonEventWriter b(broken, "/dev/ttyS0", [] { return uint64_t{0}; });
  EXPECT_NO_THROW(b.Log("step", "x"));
  EXPECT_NO_THROW(b.Finished("completed", 0));
}

// What the log file gets goes to the events as well, whether the console shows it or not.
TEST(JsonEvents, TheConsoleViewHandsOnEveryLineWithItsKind) {
  for (const bool quiet : {false, true}) {
    std::ostringstream console;
    std::vector<std::pair<std::string, std::string>> lines;
    CConsoleView view(console, {false, quiet}, [] { return uint64_t{0}; });
    view.SetLineSink([&](const char* kind, const std::string& text) { lines.emplace_back(kind, text); });
    view.LogLine(LogTone::Info, "Mobile version received");
    view.LogLine(LogTone::Step, "Flash programming 시작");
    view.LogLine(LogTone::Error, "응답이 없습니다.");
    view.Message("Can't open COM Port\nbusy\n", "", true);
    view.Message("S/W version is different. Downloading continue?", " -> Yes (--yes)");
    view.Note("interrupt: Stop");
    view.Note("gave up", true);
    view.Programmed(61000);
    view.Result("result: download completed (exit 0)", false);
    const std::vector<std::pair<std::string, std::string>> want = {
        {"info", "Mobile version received"},
        {"step", "Flash programming 시작"},
        {"error", "응답이 없습니다."},
        {"alert", "Can't open COM Port\nbusy"},
        {"message", "S/W version is different. Downloading continue? -> Yes (--yes)"},
        {"note", "interrupt: Stop"},
        {"warning", "gave up"},
        {"step", "Elapsed time : 1 min 1 sec"},
        {"result", "result: download completed (exit 0)"},
    };
    EXPECT_EQ(lines, want) << "quiet " << quiet;
  }
}

TEST(ProgressClock, RateAndTimeLeftFromTheFirstBlockOnAndAgainAfterARestart) {
  CProgressClock clock;
  const BlockProgress start{0, 10, 0x4000, 0};
  clock.Note(start, 1000);
  EXPECT_EQ(clock.Rate(start, 1000).bytesPerS, 0);
  EXPECT_FALSE(clock.Rate(start, 1000).etaS);
  const BlockProgress four{4, 10, 0x7000, 4 * 4096};
  clock.Note(four, 3000);
  const ProgressRate r = clock.Rate(four, 3000);
  EXPECT_DOUBLE_EQ(r.bytesPerS, 4 * 4096 / 2.0);
  ASSERT_TRUE(r.etaS);
  EXPECT_DOUBLE_EQ(*r.etaS, 3.0);  // six blocks more at two a second
  // A new erase starts programming over: the clock with it.
  clock.Note(start, 10000);
  const BlockProgress one{1, 10, 0x4000, 4096};
  EXPECT_DOUBLE_EQ(clock.Rate(one, 10500).bytesPerS, 8192.0);
}

}  // namespace
