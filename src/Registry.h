#pragma once
// The main window's settings between runs: the selected port, the selected speed and the folder of
// the last image. They are string values of one key, kept in the user's settings file
// (platform/SettingsFile.h). Nothing here shows a message or writes a log line; every failure is
// a result: reads give "" (and so ReadInt the caller's default), writes give false.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CRegistry {
 public:
  CRegistry() = delete;

  static constexpr std::string_view kKeyPath = "SOFTWARE\\KORVANE\\DOWNLOADER";
  static constexpr std::string_view kKeyClass = "Korvane Integrated Downloader";

  static constexpr std::string_view kPort = "PORT";         // Port list index, 0 = COM1
  static constexpr std::string_view kBaud = "BAUD";         // Speed list index, 0 = 57600
  static constexpr std::string_view kBinPath = "BIN_PATH";  // folder of the last image
  static constexpr int32_t kDefaultPort = 0;
  static constexpr int32_t kDefaultBaud = 1;

  // Longest text a value holds; reads use a buffer of one more character.
  static constexpr size_t kMaxText = 127;

  // The value's text; "" when it is missing, can't be read or is longer than kMaxText (a cut-off
  // folder would be worse than none). Text after a NUL stored in the value is dropped.
  static std::string ReadString(std::string_view name);

  // False, and the old value kept, when the text is longer than kMaxText, holds a NUL, or can't be
  // stored.
  static bool WriteString(std::string_view name, std::string_view text);

  // nDefault when the value is missing or empty; otherwise its leading decimal number as atol reads
  // it (white space, a sign, digits up to the first other character; no digits give 0), held to
  // the 32-bit range.
  static int32_t ReadInt(std::string_view name, int32_t nDefault);

  // Stores the number as "%d" text.
  static bool WriteInt(std::string_view name, int32_t nValue);
};
