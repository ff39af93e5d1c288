#include "HistoryFormat.h"

#include <algorithm>
#include <map>
#include <cstring>
#include <optional>
#include <regex>

#include <nlohmann/json.hpp>

#include "ExitStatus.h"
#include "IsoTime.h"
#include "StationView.h"
#include "TextColumns.h"

using json = nlohmann::ordered_json;

const std::vector<std::string> kHistoryKeys = {
    "start",    "end",  "host",  "device",   "tty",           "serial",  "by_id", "image",     "size",    "sha256",
    "type",     "speed", "phone_sw", "image_version", "outcome", "exit",  "elapsed_s", "resends", "tool_version",
    "uuid",     "station", "unit", "received", "clock_skew_s"};

namespace {

json Text(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }
template <typename T>
json Number(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

std::string Plain(const json& value) {
  if (value.is_null()) return {};
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

}  // namespace

json RecordJson(const DownloadRecord& r) {
  const json values[] = {Text(r.start),   Text(r.end),         Text(r.host),        Text(r.device),
                         Text(r.tty),     Text(r.serial),      Text(r.byId),        Text(r.image),
                         Number(r.size),  Text(r.sha256),      Text(r.type),        Number(r.speed),
                         Text(r.phoneSw), Text(r.imageVersion), Text(r.outcome),    Number(r.exit),
                         Number(r.elapsedS), Number(r.resends), Text(r.toolVersion), Text(r.uuid),
                         Text(r.station), Text(r.unit), Text(r.received), Number(r.clockSkewS)};
  static_assert(std::size(values) == 24);
  json object = json::object();
  for (size_t i = 0; i < kHistoryKeys.size(); ++i) object[kHistoryKeys[i]] = values[i];
  return object;
}

std::vector<std::string> RecordFields(const DownloadRecord& row) {
  const json object = RecordJson(row);
  std::vector<std::string> fields;
  for (const auto& key : kHistoryKeys) fields.push_back(Plain(object[key]));
  return fields;
}

std::string CsvCell(const std::string& field) {
  if (field.empty() || !std::strchr("=+-@\t\r", field[0])) return field;
  // A number stays a number (an image version may be negative).
  static const std::regex kNumber("-?[0-9]+(\\.[0-9]+)?");
  if (std::regex_match(field, kNumber)) return field;
  return "'" + field;
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ',';
    const std::string f = CsvCell(fields[i]);
    if (f.find_first_of(",\"\r\n") == std::string::npos) {
      line += f;
      continue;
    }
    line += '"';
    for (char c : f) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  return line;
}

void PrintHistoryTable(std::ostream& out, const std::vector<DownloadRecord>& rows) {
  struct Line {
    std::string start, station, device, unit, result, time, sw, image;
  };
  // The station's column when the rows are of more than one (the shared record's).
  bool stations = false;
  for (const auto& r : rows) stations |= r.station != rows.front().station;
  std::vector<Line> lines = {{"start (local time)", "station", "device", "unit", "result", "time", "S/W version", "image"}};
  for (const auto& r : rows) {
    std::string result = r.outcome;
    if (r.exit && *r.exit != 0) result += " (exit " + std::to_string(*r.exit) + ")";
    // What came from a handset or a device is shown, never obeyed, by the terminal.
    lines.push_back({LocalTimeText(r.start), TerminalText(r.station), TerminalText(r.device),
                     r.unit.empty() ? "-" : TerminalText(r.unit), TerminalText(result),
                     r.elapsedS ? MinutesSeconds(*r.elapsedS) : "-", r.phoneSw.empty() ? "-" : TerminalText(r.phoneSw),
                     TerminalText(r.image)});
  }
  size_t w[7] = {};
  for (const auto& l : lines) {
    const std::string* cells[] = {&l.start, &l.station, &l.device, &l.unit, &l.result, &l.time, &l.sw};
    for (size_t i = 0; i < 7; ++i) w[i] = std::max(w[i], TextWidth(*cells[i]));
  }
  for (const auto& l : lines) {
    out << PadText(l.start, w[0]) << "  ";
    if (stations) out << PadText(l.station, w[1]) << "  ";
    out << PadText(l.device, w[2]) << "  " << PadText(l.unit, w[3]) << "  " << PadText(l.result, w[4]) << "  "
        << PadText(l.time, w[5]) << "  " << PadText(l.sw, w[6]) << "  " << l.image << '\n';
  }
}

namespace {

// "2 failed (1 line-broke, 1 no-reply)"
std::string GroupText(size_t count, const char* what, const std::map<std::string, size_t>& outcomes) {
  std::string text = std::to_string(count) + " " + what;
  if (outcomes.empty()) return text;
  text += " (";
  bool first = true;
  for (const auto& [outcome, n] : outcomes) {
    text += (first ? "" : ", ") + std::to_string(n) + " " + outcome;
    first = false;
  }
  return text + ")";
}

}  // namespace

std::string HistorySummary(const std::vector<DownloadRecord>& rows) {
  size_t completed = 0;
  std::map<std::string, size_t> failed, stopped, setUp;
  for (const auto& r : rows) {
    switch (GroupOfOutcome(r.outcome)) {
      case OutcomeGroup::Completed: ++completed; break;
      case OutcomeGroup::Failed: ++failed[r.outcome]; break;
      case OutcomeGroup::Stopped: ++stopped[r.outcome]; break;
      case OutcomeGroup::SetUp: ++setUp[r.outcome]; break;
    }
  }
  auto total = [](const std::map<std::string, size_t>& m) {
    size_t n = 0;
    for (const auto& [outcome, count] : m) n += count;
    return n;
  };
  // The handsets' downloads, then what the station's set-up kept from starting.
  const size_t setUps = total(setUp);
  const size_t downloads = rows.size() - setUps;
  std::string text = std::to_string(downloads) + (downloads == 1 ? " download: " : " downloads: ") +
                     std::to_string(completed) + " completed, " + GroupText(total(failed), "failed", failed);
  if (!stopped.empty()) text += ", " + GroupText(total(stopped), "stopped", stopped);
  if (setUps) text += "; " + GroupText(setUps, setUps == 1 ? "set-up error, nothing sent" : "set-up errors, nothing sent", setUp);
  return text;
}
