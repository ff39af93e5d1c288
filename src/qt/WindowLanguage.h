#pragma once
// The window's own texts (buttons, labels, menus, dialogs) in the user's language: Qt's
// translations (translations/tarvisel_<language>.ts, compiled to .qm), found in the build tree
// or in <prefix>/share/tarvisel/translations.
class QTranslator;

// Loads the first of the user's languages that has a translation into `translator` and installs
// it; false (nothing installed) where the texts stay as written. After StartTranslations.
bool LoadWindowTranslation(QTranslator& translator);
