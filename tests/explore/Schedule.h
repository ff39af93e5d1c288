#pragma once
// One schedule of the explorer: a download (type, speed, DM variant, blocks) and the simulated
// handset's scenario, which holds every fault of the run. Printed as one line that replays it:
//   type=emergency speed=115200 variant=crc30 blocks=2 live=1 | start=download; nak=block:1:A1
// live=1 says the adversary promises this schedule a completed download.
#include <cstdint>
#include <optional>
#include <string>

namespace explore {

enum class DlType { Normal = 0, Emergency = 1, Font = 2, ChangeEmergency = 3, ChangeNormal = 4 };
constexpr int kTypeCount = 5;
enum class DmVariant { Crc30, Plain };

struct Config {
  DlType type = DlType::Emergency;
  uint32_t speed = 115200;  // the download module's speed, chosen in the window
  DmVariant variant = DmVariant::Crc30;
  int blocks = 1;  // a FONT download is always one font block (16 blocks)

  bool StartsInDownloadMode() const { return type == DlType::Emergency || type == DlType::ChangeEmergency; }
  int Blocks() const { return type == DlType::Font ? 16 : blocks; }
};

struct Schedule {
  Config config;
  std::string faults;  // scenario items on top of the base scenario
  bool live = false;   // must end completed

  // The whole scenario the handset runs: what the config needs, then the faults.
  std::string Scenario() const;
  std::string Line() const;
};

const char* TypeWord(DlType type);  // as tarvisel-cli's --type takes it
std::optional<Schedule> ParseLine(const std::string& line, std::string& error);
// The scenario part of a line (what follows '|'), or the whole text when there is no '|'.
std::string ScenarioOfLine(const std::string& line);

// Where the image goes and how it is laid out.
struct Layout {
  uint32_t imageSize = 0;   // the file's size
  uint32_t imageStart = 0;  // the start address in its trailer
  uint32_t flashFrom = 0;   // the range written
  uint32_t length = 0;
  uint32_t fileOffset = 0;  // of the range's first byte in the file
};
Layout LayoutOf(const Config& config);
constexpr uint32_t kFontAddress = 0x2000;
constexpr const char* kFontAddressText = "2000";
// Room past every range (the highest, a font's, ends at 72 KiB), which must not change; small,
// for the handset's flash is made afresh for every run.
constexpr size_t kFlashSize = size_t{80} << 10;
constexpr const char* kFlashSizeText = "80K";

}  // namespace explore
