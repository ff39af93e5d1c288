#include "HandsetEvents.h"

#include <nlohmann/json.hpp>

#include "CommandRunner.h"
#include "DeviceFacts.h"
#include "DownloadRecorder.h"
#include "ExitStatus.h"
#include "JsonEvents.h"

using json = nlohmann::ordered_json;

namespace {
constexpr size_t kErrTailLines = 12;
}  // namespace

void PassOnHandsetLine(HandsetStatus& s, size_t index, CHandsetLog& log, const std::string& line, double t,
                       HandsetOutlets& out) {
  json e = json::parse(line, nullptr, false);
  if (e.is_discarded() || !ApplyEvent(s, e)) {
    log.Line("not an event of the handset's process: " + line.substr(0, 200));
    return;
  }
  // One clock for every handset's events, and the device as the caller was given it.
  e["t"] = RoundedSeconds(t);
  e["device"] = s.device;
  out.emit(e);
  const std::string event = e["event"].get<std::string>();
  if (event == "log") {
    const std::string kind = e.value("kind", "");
    const std::string text = e.value("text", "");
    const bool box = kind == "message" || kind == "alert";
    log.Line(box ? FormatBoxText(text) : text);
    if (kind == "error" || kind == "alert" || kind == "warning") out.view.HandsetLine(s, box ? FormatBoxText(text) : text, true);
    else if (kind == "message" && !out.quiet) out.view.HandsetLine(s, FormatBoxText(text), false);
  }
  out.view.Changed(index, s, event);
}

void ConcludeHandset(HandsetStatus& s, size_t index, CHandsetLog& log, const CHandsetProcess& p, double t,
                     bool aborted, bool stopped, const CliOptions& options, HandsetOutlets& out) {
  const ProcessEnd end = EndWithoutResult(p.WaitStatus(), aborted, stopped);
  if (s.Finished()) {
    // The result stands; a process that then ended otherwise than it said is still worth a line.
    if (end.signal != 0 || end.code != s.exit) {
      out.view.HandsetLine(s, "its process " + end.how + " after its result", true);
      log.Line("the handset's process " + end.how + " after its result");
    }
    return;
  }
  const double elapsed = std::chrono::duration<double>(CHandsetProcess::Clock::now() - p.Started()).count();
  const bool download = options.command == CliCommand::Download || options.command == CliCommand::Watch;
  const std::optional<std::string> type = download ? std::optional<std::string>(DownloadTypeName(options.type)) : std::nullopt;
  const std::optional<std::string> image = download ? std::optional<std::string>(options.image) : std::nullopt;
  if (!s.started) {
    const json started = EventObject(
        t, s.device, "started",
        StartedBody(download ? EngineCommand::Download : EngineCommandOf(options.command).value_or(EngineCommand::Download),
                    type, image, SelectedSpeed(options)));
    ApplyEvent(s, started);
    out.emit(started);
  }
  // The process could not write its row: the caller does, with what it saw.
  if (download) {
    CUdevFacts facts;
    CDownloadRecorder recorder(
        HistoryPathOf(options), [&](const std::string& text) { out.view.HandsetLine(s, text, true); }, &facts);
    recorder.Begin({s.device, options.image, *type, SelectedSpeed(options), false, s.unit, options.stationName},
                   p.Started());
    if (!s.sw.empty()) recorder.Phone({s.sw, "", "", 0});
    recorder.Finish(end.outcome, end.exit);
  }
  json finished = EventObject(t, s.device, "finished", FinishedBody(end.outcome.c_str(), end.exit, elapsed));
  if (end.signal) finished["signal"] = end.signal;
  ApplyEvent(s, finished);
  out.emit(finished);

  const bool crashed = end.outcome == kCrashedOutcome;
  const std::string line = "the handset's process " + end.how + " without a result";
  log.Line(line);
  if (crashed) out.view.HandsetLine(s, line, true);
  // What it said last tells what went wrong (a sanitizer's report, an assertion).
  for (const auto& l : p.ErrTail(kErrTailLines)) {
    log.Line("  " + l);
    if (crashed) out.view.HandsetLine(s, "  " + l, false);
  }
  out.view.Changed(index, s, "finished");
}
