#include "WindowLanguage.h"

#include <QCoreApplication>
#include <QTranslator>

#include "platform/Translate.h"

bool LoadWindowTranslation(QTranslator& translator) {
  const QString folder =
      QString::fromStdString(DataFolder(TARVISEL_BUILD_TRANSLATIONS, "share/tarvisel/translations"));
  for (const std::string& language : MessageLanguages()) {
    if (translator.load(QStringLiteral("tarvisel_") + QString::fromStdString(language), folder))
      return QCoreApplication::installTranslator(&translator);
  }
  return false;
}
