#include "explore/Schedule.h"

#include <sstream>
#include <vector>

namespace explore {

namespace {
constexpr const char* kTypeWords[kTypeCount] = {"normal", "emergency", "font", "change-emergency", "change-normal"};
constexpr uint32_t kStart = 0x4000;  // the lowest start an image may have; room below it

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n'");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r\n'");
  return s.substr(b, e - b + 1);
}
}  // namespace

const char* TypeWord(DlType type) { return kTypeWords[static_cast<int>(type)]; }

std::string Schedule::Scenario() const {
  // A flash of one byte, not FF: erased or programmed bytes outside the range still show, and
  // it is made far faster than an old image.
  std::string s = "rev=1; erase-ms=200; flash-fill=5A";
  if (config.StartsInDownloadMode()) s += "; start=download";
  if (config.variant == DmVariant::Plain) s += "; variant=plain";
  if (!faults.empty()) s += "; " + faults;
  return s;
}

std::string Schedule::Line() const {
  std::ostringstream os;
  os << "type=" << TypeWord(config.type) << " speed=" << config.speed
     << " variant=" << (config.variant == DmVariant::Plain ? "plain" : "crc30") << " blocks=" << config.Blocks()
     << " live=" << (live ? 1 : 0) << " | " << Scenario();
  return os.str();
}

std::string ScenarioOfLine(const std::string& line) {
  const size_t bar = line.find('|');
  return Trim(bar == std::string::npos ? line : line.substr(bar + 1));
}

std::optional<Schedule> ParseLine(const std::string& text, std::string& error) {
  const std::string line = Trim(text);
  const size_t bar = line.find('|');
  if (bar == std::string::npos) {
    error = "a schedule line is 'type=... speed=... variant=... blocks=... | SCENARIO'";
    return std::nullopt;
  }
  Schedule s;
  std::istringstream head(line.substr(0, bar));
  std::string word;
  while (head >> word) {
    const size_t eq = word.find('=');
    const std::string key = word.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    bool ok = true;
    if (key == "type") {
      ok = false;
      for (int t = 0; t < kTypeCount; ++t) {
        if (value == kTypeWords[t]) {
          s.config.type = static_cast<DlType>(t);
          ok = true;
        }
      }
    } else if (key == "speed") {
      ok = value == "57600" || value == "115200";
      if (ok) s.config.speed = static_cast<uint32_t>(std::stoul(value));
    } else if (key == "variant") {
      ok = value == "crc30" || value == "plain";
      s.config.variant = value == "plain" ? DmVariant::Plain : DmVariant::Crc30;
    } else if (key == "blocks") {
      ok = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos && value.size() < 4;
      if (ok) s.config.blocks = std::stoi(value);
      ok = ok && s.config.blocks >= 1 && s.config.blocks <= 64;
    } else if (key == "live") {
      ok = value == "0" || value == "1";
      s.live = value == "1";
    } else {
      ok = false;
    }
    if (!ok) {
      error = "'" + word + "' is not one of type=, speed=, variant=, blocks=, live=";
      return std::nullopt;
    }
  }
  // The scenario part is taken whole: the base items are in it already.
  const std::string scenario = Trim(line.substr(bar + 1));
  const std::string base = Schedule{s.config, "", false}.Scenario();
  if (scenario.rfind(base, 0) == 0) {
    s.faults = Trim(scenario.substr(base.size()));
    if (!s.faults.empty() && s.faults[0] == ';') s.faults = Trim(s.faults.substr(1));
  } else {
    s.faults = scenario;  // items given by hand: they come after the base and win
  }
  return s;
}

Layout LayoutOf(const Config& c) {
  Layout l;
  const uint32_t length = static_cast<uint32_t>(c.Blocks()) * 4096u;
  switch (c.type) {
    case DlType::Normal:
    case DlType::Emergency:
      l.imageStart = l.flashFrom = l.fileOffset = kStart;
      l.imageSize = kStart + length;
      break;
    case DlType::Font:
      l.imageStart = 0x4000;
      l.imageSize = 0x10000;
      l.flashFrom = kFontAddress;
      l.fileOffset = 0;
      break;
    case DlType::ChangeEmergency:
    case DlType::ChangeNormal:
      l.imageStart = 0;
      l.imageSize = length;
      l.flashFrom = l.fileOffset = 0;
      break;
  }
  l.length = length;
  return l;
}

}  // namespace explore
