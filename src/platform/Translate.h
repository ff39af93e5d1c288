#pragma once
// The texts the program shows, in the user's language. The texts written in the code (Korean
// and English, as the tool has always shown them) are the default and what the C locale gets;
// a gettext catalogue of the domain "tarvisel" gives them in the language of LC_MESSAGES.
// A format goes through Tr before it is filled in, so that the catalogue holds the format.
#include <string>
#include <vector>

// format_arg: a format through Tr is still checked against its arguments.
const char* Tr(const char* text) __attribute__((format_arg(1)));

// Tr(format) filled in as printf does.
std::string TrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Marks a text that goes through Tr later (a table of texts), so that the catalogue has it.
constexpr const char* TrLater(const char* text) { return text; }

// Once at start-up, before any thread: messages in the language of LC_ALL / LC_MESSAGES / LANG
// (numbers, JSON and CSV stay as in the C locale), from the catalogue in the build tree or the
// one installed beside the program (<prefix>/share/locale).
void StartTranslations();

// The languages the texts are shown in, best first ("en_US", "en"), as gettext chooses them:
// LANGUAGE's list where set, else the locale's; empty for the C locale, where the texts stay
// as written. The window loads its own translations by these.
std::vector<std::string> MessageLanguages();

// A folder of data the program needs: `buildTree` when the program runs from the build tree
// (the tests), else `installed` relative to the program's prefix (share/locale for bin/...).
std::string DataFolder(const std::string& buildTree, const std::string& installed);
