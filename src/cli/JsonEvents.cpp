#include "JsonEvents.h"

#include <cmath>

#include <nlohmann/json.hpp>

using json = nlohmann::ordered_json;

namespace {
double Rounded(double value, double scale) { return std::round(value * scale) / scale; }

// The handset pads its fixed-width texts with blanks (and NULs); a reader compares the words.
std::string WithoutTrailingBlanks(const std::string& text) {
  const size_t end = text.find_last_not_of(std::string(" \t\0", 3));
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}
}  // namespace

double RoundedSeconds(double seconds) { return Rounded(seconds, 1000.0); }

json EventObject(double t, const std::string& device, const char* event, const json& body) {
  json object = {{"v", kJsonEventsVersion}, {"t", RoundedSeconds(t)}, {"device", device}, {"event", event}};
  object.update(body);
  return object;
}

json StartedBody(EngineCommand command, const std::optional<std::string>& type, const std::optional<std::string>& image,
                 std::optional<int> speed) {
  json body = {{"command", CommandName(command)}, {"type", nullptr}, {"image", nullptr}, {"speed", nullptr}};
  if (type) body["type"] = *type;
  if (image) body["image"] = *image;
  if (speed) body["speed"] = *speed;
  return body;
}

json FinishedBody(const char* outcome, int exitStatus, double elapsedS) {
  return {{"outcome", outcome}, {"exit", exitStatus}, {"elapsed_s", RoundedSeconds(elapsedS)}};
}

bool WriteJsonLine(std::ostream& out, const json& object) {
  out << object.dump(-1, ' ', false, json::error_handler_t::replace) << '\n' << std::flush;
  return static_cast<bool>(out);
}

CJsonEventWriter::CJsonEventWriter(std::ostream& out, std::string device, std::function<uint64_t()> clockMs)
    : m_out(out), m_device(std::move(device)), m_clockMs(std::move(clockMs)), m_startMs(m_clockMs()) {}

double CJsonEventWriter::Seconds() const { return static_cast<double>(m_clockMs() - m_startMs) / 1000.0; }

void CJsonEventWriter::Write(json&& body, const char* event) {
  if (m_finished || m_broken) return;
  if (!WriteJsonLine(m_out, EventObject(Seconds(), m_device, event, body))) m_broken = true;
}

void CJsonEventWriter::Started(EngineCommand command, const std::optional<std::string>& type,
                               const std::optional<std::string>& image, std::optional<int> speed) {
  Write(StartedBody(command, type, image, speed), "started");
}

void CJsonEventWriter::Phase(EnginePhase phase) { Write({{"name", PhaseName(phase)}}, "phase"); }

void CJsonEventWriter::Phone(const PhoneInfo& info) {
  Write({{"sw", WithoutTrailingBlanks(info.swVersion)},
         {"compiled", WithoutTrailingBlanks(info.compiled)},
         {"pcb", WithoutTrailingBlanks(info.pcbVersion)},
         {"revision", info.revision}},
        "phone");
}

void CJsonEventWriter::Progress(const BlockProgress& p, const ProgressRate& rate) {
  Write({{"block", p.block},
         {"blocks", p.blocks},
         {"address", p.address},
         {"bytes", p.bytes},
         {"bytes_per_s", static_cast<uint64_t>(std::llround(rate.bytesPerS))},
         {"eta_s", rate.etaS ? json(Rounded(*rate.etaS, 10.0)) : json(nullptr)}},
        "progress");
}

void CJsonEventWriter::Log(const char* kind, const std::string& text) { Write({{"kind", kind}, {"text", text}}, "log"); }

void CJsonEventWriter::Finished(const char* outcome, int exitStatus) {
  Write(FinishedBody(outcome, exitStatus, Seconds()), "finished");
  m_finished = true;
}
