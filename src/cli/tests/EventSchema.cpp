#include "EventSchema.h"

#include <algorithm>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "JsonSchema.h"

using json = nlohmann::json;

namespace {

const std::set<std::string> kEvents = {"started", "phase", "phone", "progress", "log", "finished", "dropped"};
const std::set<std::string> kPhases = {"version", "dm-offline", "download-mode", "module", "erase",
                                       "programming", "jump", "todm", "info"};
const std::set<std::string> kKinds = {"info", "step", "error", "message", "alert", "note", "warning", "result"};
// Each outcome's exit status; a crash's is 128 + the signal, or the status the process gave.
const std::map<std::string, int> kOutcomeExit = {
    {"completed", 0}, {"no-reply", 1}, {"handset-refused", 1}, {"out-of-step", 1}, {"timeout", 1},   {"refused", 3},      {"read-error", 3},
    {"declined", 4},  {"port", 5},     {"line-broke", 5},  {"stopped", 130}, {"interrupted", 130}, {"usage", 2}};

bool IsInt(const json& o, const char* key) { return o.contains(key) && o[key].is_number_integer(); }
bool IsNumber(const json& o, const char* key) { return o.contains(key) && o[key].is_number(); }
bool IsString(const json& o, const char* key) { return o.contains(key) && o[key].is_string(); }
bool IsStringOrNull(const json& o, const char* key) { return o.contains(key) && (o[key].is_string() || o[key].is_null()); }

}  // namespace

StreamCheck CheckEventStream(const std::string& text, const std::vector<std::string>& devices) {
  StreamCheck check;
  std::ostringstream errors;
  std::map<std::string, bool> started, finished;
  std::map<std::string, double> lastT;
  // Devices whose events a slow reader missed: their progress may skip blocks.
  std::set<std::string> missed;
  {
    std::istringstream scan(text);
    for (std::string line; std::getline(scan, line);) {
      const json o = json::parse(line, nullptr, false);
      if (o.is_object() && o.value("event", "") == "dropped" && IsString(o, "device")) missed.insert(o["device"]);
    }
  }
  std::istringstream in(text);
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    const std::string at = "line " + std::to_string(n) + ": ";
    const json o = json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object()) {
      errors << at << "not a JSON object\n";
      continue;
    }
    for (const std::string& e : EventsSchema().Errors(o)) errors << at << "schema: " << e << "\n";
    if (!IsInt(o, "v") || o["v"] != 1) errors << at << "\"v\" is not 1\n";
    if (!IsNumber(o, "t") || o["t"].get<double>() < 0) errors << at << "\"t\" is no time\n";
    if (!IsString(o, "device") || std::find(devices.begin(), devices.end(), o["device"]) == devices.end()) {
      errors << at << "\"device\" is none of the devices given\n";
      continue;
    }
    if (!IsString(o, "event") || !kEvents.count(o["event"])) {
      errors << at << "no known \"event\"\n";
      continue;
    }
    const std::string device = o["device"], event = o["event"];
    DeviceStream& d = check.devices[device];
    const double t = o["t"].is_number() ? o["t"].get<double>() : 0;
    if (lastT.count(device) && t < lastT[device]) errors << at << "\"t\" goes back for " << device << "\n";
    lastT[device] = t;
    if (finished[device]) errors << at << "an event after the finish of " << device << "\n";
    if (!started[device] && event != "started") errors << at << device << " has not started yet\n";
    if (event == "started") {
      if (started[device]) errors << at << device << " started twice\n";
      started[device] = true;
      if (!IsString(o, "command") || !IsStringOrNull(o, "type") || !IsStringOrNull(o, "image") ||
          !(o.contains("speed") && (o["speed"].is_null() || o["speed"].is_number_integer())))
        errors << at << "started: fields\n";
    } else if (event == "phase") {
      if (!IsString(o, "name") || !kPhases.count(o["name"])) errors << at << "phase: unknown name\n";
      else d.phases.push_back(o["name"]);
    } else if (event == "phone") {
      if (!IsString(o, "sw") || !IsString(o, "compiled") || !IsString(o, "pcb") || !IsInt(o, "revision"))
        errors << at << "phone: fields\n";
      else d.sw = o["sw"];
    } else if (event == "progress") {
      if (!IsInt(o, "block") || !IsInt(o, "blocks") || !IsInt(o, "address") || !IsInt(o, "bytes") ||
          !IsInt(o, "bytes_per_s") || !(o.contains("eta_s") && (o["eta_s"].is_null() || o["eta_s"].is_number()))) {
        errors << at << "progress: fields\n";
        continue;
      }
      const int block = o["block"], blocks = o["blocks"];
      if (block < 0 || block > blocks) errors << at << "progress: block " << block << " of " << blocks << "\n";
      // Forward by one block at a time (forward only where some were dropped), or from 0 again
      // when programming starts over.
      if (block != 0 && (missed.count(device) ? block <= d.lastBlock : block != d.lastBlock + 1))
        errors << at << "progress: " << d.lastBlock << " then " << block << "\n";
      if (block == 0 && (d.phases.empty() || d.phases.back() != "programming"))
        errors << at << "progress: 0 outside programming\n";
      if (o["bytes"].get<long long>() != 4096LL * block) errors << at << "progress: bytes\n";
      if (o["bytes_per_s"].get<double>() < 0) errors << at << "progress: a rate below 0\n";
      d.lastBlock = block;
      d.blocks = blocks;
      ++d.progressEvents;
    } else if (event == "dropped") {
      if (!IsInt(o, "progress") || !IsInt(o, "log")) errors << at << "dropped: fields\n";
      else d.droppedProgress += o["progress"].get<int>(), d.droppedLog += o["log"].get<int>();
    } else if (event == "log") {
      if (!IsString(o, "kind") || !kKinds.count(o["kind"]) || !IsString(o, "text")) errors << at << "log: fields\n";
      else d.logKinds.push_back(o["kind"]);
    } else if (event == "finished") {
      finished[device] = true;
      if (!IsString(o, "outcome") || !IsInt(o, "exit") || !IsNumber(o, "elapsed_s")) {
        errors << at << "finished: fields\n";
        continue;
      }
      d.outcome = o["outcome"];
      d.exit = o["exit"];
      if (o.contains("signal")) d.signal = o["signal"];
      const auto want = kOutcomeExit.find(d.outcome);
      if (d.outcome == "crashed") {
        if (d.exit == 0 || (d.signal && d.exit != 128 + d.signal)) errors << at << "crashed: exit " << d.exit << "\n";
      } else if (want == kOutcomeExit.end()) {
        errors << at << "finished: unknown outcome " << d.outcome << "\n";
      } else if (want->second != d.exit) {
        errors << at << "finished: exit " << d.exit << " for " << d.outcome << "\n";
      }
    }
  }
  for (const auto& device : devices)
    if (!finished[device]) errors << device << ": no finish\n";
  check.errors = errors.str();
  return check;
}

WatchStreamCheck CheckWatchStream(const std::string& text) {
  WatchStreamCheck check;
  std::ostringstream errors;
  std::map<std::string, std::vector<std::string>> segments;  // each link's downloads so far, as text
  std::istringstream in(text);
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    const json o = json::parse(line, nullptr, false);
    if (o.is_discarded() || !IsString(o, "device") || !IsString(o, "event")) {
      errors << "line " << n << ": no event of a device\n";
      continue;
    }
    const std::string device = o["device"];
    if (o["event"] == "port") {
      // A download's objects are checked against the schema with the rest of its download.
      for (const std::string& e : EventsSchema().Errors(o)) errors << "line " << n << ": schema: " << e << "\n";
      auto& states = check.ports[device];
      const bool known = IsString(o, "state") && (o["state"] == "appeared" || o["state"] == "gone");
      if (!known || !IsInt(o, "v") || o["v"] != 1 || !IsNumber(o, "t") || o.size() != 5) {
        errors << "line " << n << ": port: fields\n";
        continue;
      }
      const std::string state = o["state"];
      if (state == (states.empty() || states.back() == "gone" ? "gone" : "appeared"))
        errors << "line " << n << ": " << device << " " << state << " twice or gone first\n";
      states.push_back(state);
      continue;
    }
    if (!check.ports.count(device)) errors << "line " << n << ": a download before its port appeared\n";
    auto& downloads = segments[device];
    if (o["event"] == "started" || downloads.empty()) downloads.emplace_back();
    downloads.back() += line + "\n";
  }
  for (const auto& [device, downloads] : segments)
    for (const auto& d : downloads) {
      const StreamCheck one = CheckEventStream(d, {device});
      errors << one.errors;
      if (one.devices.count(device)) check.downloads[device].push_back(one.devices.at(device));
    }
  check.errors = errors.str();
  return check;
}
