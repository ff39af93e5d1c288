// The window in the user's language: Qt's translation for its own widgets and the gettext
// catalogue for the texts it shows from below (the log, the messages), both from the build tree.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QTranslator>
#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

#include "AboutDialog.h"
#include "WindowLanguage.h"
#include "platform/Translate.h"

namespace {

class LocaleScope {
 public:
  LocaleScope() {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      m_saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  ~LocaleScope() {
    for (const auto& [name, value] : m_saved) {
      if (value) setenv(name, value->c_str(), 1);
      else unsetenv(name);
    }
    std::setlocale(LC_MESSAGES, "C");
  }
  LocaleScope(const LocaleScope&) = delete;
  LocaleScope& operator=(const LocaleScope&) = delete;
  static void Set(const char* lang) {
    for (const char* name : kNames) unsetenv(name);
    setenv("LANG", lang, 1);
  }

 private:
  static constexpr const char* kNames[] = {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"};
  std::vector<std::pair<const char*, std::optional<std::string>>> m_saved;
};

TEST(WindowLanguage, TheWindowAndItsLogSpeakTheLocalesLanguage) {
  LocaleScope scope;
  const struct {
    const char* lang;
    bool english;
    QString title, ok;
    std::string log;
  } cases[] = {
      {"C", false, QStringLiteral("Tarvisel 정보"), QStringLiteral("확인"), "단말기 버젼 확인중"},
      // Installed or not, the English locale gets the English texts.
      {"en_US.UTF-8", true, QStringLiteral("About Tarvisel"), QStringLiteral("OK"), "Checking the handset's version"},
      {"C", false, QStringLiteral("Tarvisel 정보"), QStringLiteral("확인"), "단말기 버젼 확인중"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lang);
    LocaleScope::Set(c.lang);
    StartTranslations();
    QTranslator translator;
    EXPECT_EQ(LoadWindowTranslation(translator), c.english);
    {
      CAboutDlg dlg;
      EXPECT_EQ(dlg.windowTitle(), c.title);
      EXPECT_EQ(dlg.OkButton()->text(), c.ok);
    }
    EXPECT_EQ(std::string(Tr("단말기 버젼 확인중")), c.log);
    QCoreApplication::removeTranslator(&translator);
  }
}

}  // namespace
