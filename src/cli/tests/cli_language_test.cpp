// The language of tarvisel-cli's texts, against tarvisel-sim over a pty: the C locale gets the
// texts as written (Korean where the tool has always been Korean), a locale that asks for
// English gets the catalogue's English whether or not that locale is installed, and what
// machines read (the events' names and fields) is the same in both.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "EventSchema.h"
#include "SampleImage.h"
#include "Subprocess.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kLocaleVariables[] = {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"};

class CliLanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvisel-lang-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    for (const char* name : kLocaleVariables) {
      const char* value = std::getenv(name);
      saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("TARVISEL_SETTINGS", (dir + "/settings").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    unsetenv("TARVISEL_COM1");
    unsetenv("TARVISEL_COM2");
  }
  void TearDown() override {
    if (sim) {
      sim->Signal(SIGTERM);
      sim->Wait(20s);
      sim.reset();
    }
    for (const auto& [name, value] : saved) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
    unsetenv("TARVISEL_SETTINGS");
    unsetenv("XDG_DATA_HOME");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  // The children inherit the locale: only the variables given are set.
  static void Locale(const std::vector<std::pair<const char*, const char*>>& vars) {
    for (const char* name : kLocaleVariables) unsetenv(name);
    for (const auto& [name, value] : vars) setenv(name, value, 1);
  }
  void StartSim(const std::string& scenario) {
    sim = std::make_unique<CChild>(
        std::vector<std::string>{TARVISEL_SIM_PATH, "--scenario", scenario, "--link", Pty(), "--flash-size", "1M"}, dir,
        "sim");
    ASSERT_TRUE(sim->Started());
    for (int i = 0; i < 500 && !std::filesystem::exists(Pty()); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(Pty())) << sim->Err();
  }
  std::string Pty() const { return dir + "/pty"; }
  ProcessResult Cli(std::vector<std::string> args, const std::string& tag) {
    args.insert(args.begin(), TARVISEL_CLI_PATH);
    return RunProgram(args, dir, tag);
  }

  std::string dir;
  std::unique_ptr<CChild> sim;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

struct LocaleCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> vars;
  bool english;
};

// en_US.UTF-8 may not be installed (a system without the locales package): English anyway.
const std::vector<LocaleCase> kLocales = {
    {"C", {{"LANG", "C"}}, false},
    {"nothing set", {}, false},
    {"en_US.UTF-8", {{"LANG", "en_US.UTF-8"}}, true},
    {"LC_MESSAGES en_GB", {{"LANG", "C"}, {"LC_MESSAGES", "en_GB.UTF-8"}}, true},
    {"LC_ALL=C over an English LANG", {{"LANG", "en_US.UTF-8"}, {"LC_ALL", "C"}}, false},
    {"LANGUAGE=en under C.UTF-8", {{"LANG", "C.UTF-8"}, {"LANGUAGE", "en"}}, true},
    {"LANGUAGE=en under C", {{"LANG", "C"}, {"LANGUAGE", "en"}}, false},
    {"Korean", {{"LANG", "ko_KR.UTF-8"}}, false},
    {"LANGUAGE=ko over an English LANG", {{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "ko"}}, false},
};

TEST_F(CliLanguageTest, TheLogOfAReadSpeaksTheLocalesLanguage) {
  StartSim("rev=203");
  int n = 0;
  for (const LocaleCase& c : kLocales) {
    Locale(c.vars);
    const ProcessResult r = Cli({"info", "--device", Pty()}, "info" + std::to_string(n++));
    ASSERT_EQ(r.status, 0) << c.name << "\n" << r.err;
    const bool korean = r.err.find("단말기 버젼 확인중") != std::string::npos;
    const bool english = r.err.find("Checking the handset's version") != std::string::npos;
    EXPECT_EQ(korean, !c.english) << c.name << "\n" << r.err;
    EXPECT_EQ(english, c.english) << c.name << "\n" << r.err;
    // The handset's own texts are never translated.
    EXPECT_NE(r.out.find("Ver02.03"), std::string::npos) << c.name << "\n" << r.out;
  }
}

// The engine's own lines: the erase's wait and the start of programming.
TEST_F(CliLanguageTest, TheEnginesLinesOfADownloadSpeakTheLocalesLanguage) {
  // A NORMAL download each time: the handset is back in DM mode after the last one's jump.
  StartSim("rev=203; erase-ms=100");
  const std::string img = dir + "/fw.bin";
  sim::WriteImage(img, sim::SampleImage(0x8000, 0x4000, 203, 9));
  const struct {
    const char* lang;
    std::vector<std::string> says;
  } cases[] = {
      {"C", {"잠시 기다리십시요..", "Flash programming 시작"}},
      {"en_US.UTF-8", {"Please wait..", "Flash programming started"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    Locale({{"LANG", c.lang}});
    const ProcessResult r =
        Cli({"download", img, "--device", Pty(), "--no-history"}, "dl" + std::to_string(n++));
    ASSERT_EQ(r.status, 0) << c.lang << "\n" << r.err;
    for (const std::string& says : c.says) EXPECT_NE(r.err.find(says), std::string::npos) << c.lang << "\n" << r.err;
  }
}

// A question whose text is a format: the catalogue's English is filled in with the address.
TEST_F(CliLanguageTest, AQuestionAboutTheStartAddressIsAskedInEnglish) {
  StartSim("rev=203");
  const std::string img = dir + "/odd-start.bin";
  sim::WriteImage(img, sim::SampleImage(0x10000, 0x2000, 203, 5));
  const struct {
    const char* lang;
    std::vector<std::string> says;
  } cases[] = {
      {"C", {"message: Application 다운로딩 시작 주소가 0x2000 입니다.\n", "계속 다운로딩 하시겠습니가? -> No (--no)\n"}},
      {"en_US.UTF-8", {"message: The application's download start address is 0x2000.\n", "Continue downloading? -> No (--no)\n"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    Locale({{"LANG", c.lang}});
    const ProcessResult r = Cli({"download", img, "--device", Pty(), "--no"}, "start" + std::to_string(n++));
    EXPECT_EQ(r.status, 4) << c.lang << "\n" << r.err;  // declined
    for (const std::string& says : c.says) EXPECT_NE(r.err.find(says), std::string::npos) << c.lang << "\n" << r.err;
  }
}

// The events carry the texts in the user's language, but their names, kinds and fields are
// the same whatever the language, and the stream holds to its schema.
TEST_F(CliLanguageTest, TheEventsAreTheSameInEnglishButForTheirTexts) {
  StartSim("rev=203");
  // The log lines' number and order follow the line's timing (a request sent again on a loaded
  // machine adds its line and moves the answer's); their kinds, and every other event, do not.
  auto shape = [](const std::string& out) {
    std::vector<std::string> lines;
    std::set<std::string> logKinds;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
      nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
      if (e.is_discarded()) return std::vector<std::string>{"not JSON: " + line};
      e.erase("t");
      e.erase("elapsed_s");
      if (e.value("event", "") == "log") {
        logKinds.insert(e.value("kind", ""));
        continue;
      }
      lines.push_back(e.dump());
    }
    for (const std::string& kind : logKinds) lines.push_back("log " + kind);
    return lines;
  };
  Locale({{"LANG", "C"}});
  const ProcessResult korean = Cli({"info", "--device", Pty(), "--json"}, "json-c");
  Locale({{"LANG", "en_US.UTF-8"}});
  const ProcessResult english = Cli({"info", "--device", Pty(), "--json"}, "json-en");
  ASSERT_EQ(korean.status, 0) << korean.err;
  ASSERT_EQ(english.status, 0) << english.err;
  EXPECT_EQ(CheckEventStream(english.out, {Pty()}).errors, "") << english.out;
  EXPECT_EQ(shape(english.out), shape(korean.out)) << english.out << "\n" << korean.out;
  EXPECT_NE(english.out.find("Checking the handset's version"), std::string::npos) << english.out;
  EXPECT_NE(korean.out.find("단말기 버젼 확인중"), std::string::npos) << korean.out;
}

}  // namespace
