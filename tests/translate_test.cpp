// Which language the texts are shown in, from the locale's variables, and the catalogue of the
// build tree behind Tr: the C locale keeps the texts as written, English is found whether or not
// its locale is installed.
#include "platform/Translate.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* kNames[] = {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"};

class TranslateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      m_saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : m_saved) {
      if (value) setenv(name, value->c_str(), 1);
      else unsetenv(name);
    }
    std::setlocale(LC_MESSAGES, "C");
  }

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> m_saved;
};

TEST_F(TranslateTest, TheLocalesVariablesChooseTheLanguage) {
  const struct {
    const char* name;
    std::vector<std::pair<const char*, const char*>> vars;
    std::vector<std::string> languages;
    const char* version;  // Tr("단말기 버젼 확인중")
  } cases[] = {
      {"nothing", {}, {}, "단말기 버젼 확인중"},
      {"C", {{"LANG", "C"}}, {}, "단말기 버젼 확인중"},
      {"POSIX", {{"LANG", "POSIX"}}, {}, "단말기 버젼 확인중"},
      {"C.UTF-8", {{"LANG", "C.UTF-8"}}, {}, "단말기 버젼 확인중"},
      {"English", {{"LANG", "en_US.UTF-8"}}, {"en_US", "en"}, "Checking the handset's version"},
      {"English without a country", {{"LANG", "en"}}, {"en"}, "Checking the handset's version"},
      {"LC_MESSAGES over LANG", {{"LANG", "C"}, {"LC_MESSAGES", "en_GB.UTF-8@euro"}}, {"en_GB", "en"},
       "Checking the handset's version"},
      {"LC_ALL over both", {{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}, {"LC_ALL", "C"}}, {},
       "단말기 버젼 확인중"},
      {"an empty LC_ALL is no LC_ALL", {{"LANG", "en_US.UTF-8"}, {"LC_ALL", ""}}, {"en_US", "en"},
       "Checking the handset's version"},
      {"LANGUAGE's list first", {{"LANG", "C.UTF-8"}, {"LANGUAGE", "fr::en_AU:"}}, {"fr", "en_AU", "en"},
       "Checking the handset's version"},
      {"LANGUAGE not under C", {{"LANG", "C"}, {"LANGUAGE", "en"}}, {}, "단말기 버젼 확인중"},
      {"Korean asks for no catalogue", {{"LANG", "ko_KR.UTF-8"}}, {"ko_KR", "ko"}, "단말기 버젼 확인중"},
      {"LANGUAGE=ko over English", {{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "ko"}}, {"ko"},
       "단말기 버젼 확인중"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : kNames) unsetenv(name);
    for (const auto& [name, value] : c.vars) setenv(name, value, 1);
    StartTranslations();
    EXPECT_EQ(MessageLanguages(), c.languages);
    EXPECT_STREQ(Tr("단말기 버젼 확인중"), c.version);
  }
}

// A format's English is filled in with the same arguments; numbers stay as in the C locale.
TEST_F(TranslateTest, AFormatIsTranslatedBeforeItIsFilledIn) {
  const struct {
    const char* lang;
    std::string text;
  } cases[] = {
      {"C", "Application 다운로딩 시작 주소가 0x2000 입니다.\n다운로딩이 실패할 수 있습니다.\n계속 다운로딩 하시겠습니가?"},
      {"en_US.UTF-8", "The application's download start address is 0x2000.\nThe download may fail.\nContinue downloading?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lang);
    for (const char* name : kNames) unsetenv(name);
    setenv("LANG", c.lang, 1);
    StartTranslations();
    EXPECT_EQ(TrFormat("Application 다운로딩 시작 주소가 0x%X 입니다.\n다운로딩이 실패할 수 있습니다.\n계속 다운로딩 하시겠습니가?",
                       0x2000u),
              c.text);
    EXPECT_EQ(TrFormat("0x%lx, %.1f KiB/s, %s left", 0x4000ul, 12.5, "0:03"), "0x4000, 12.5 KiB/s, 0:03 left");
  }
}

}  // namespace
