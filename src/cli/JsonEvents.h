#pragma once
// --json: what happens to a handset as JSON Lines, one object a line, each written and flushed
// at once. Every object has "v" (the format's version), "t" (seconds since the command
// started), "device" (the path given) and "event"; README.md lists the events and their fields.
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "EngineEvents.h"
#include "ProgressRate.h"

inline constexpr int kJsonEventsVersion = 1;
// Outcomes beyond the engine's: a file given could not be written (nothing was tried), and a
// station's handset whose process ended without a result.
inline constexpr const char* kUsageOutcome = "usage";
inline constexpr const char* kCrashedOutcome = "crashed";

// The parts of the objects, for a writer of events of its own (the station).
nlohmann::ordered_json EventObject(double t, const std::string& device, const char* event,
                                   const nlohmann::ordered_json& body);
nlohmann::ordered_json StartedBody(EngineCommand command, const std::optional<std::string>& type,
                                   const std::optional<std::string>& image, std::optional<int> speed);
nlohmann::ordered_json FinishedBody(const char* outcome, int exitStatus, double elapsedS);
// Seconds to the millisecond: all a reader can use, and short lines.
double RoundedSeconds(double seconds);

// One object as one line; text that is not UTF-8 is replaced, never thrown about. False when
// the stream has failed (a reader that went away): the caller stops writing, the download goes on.
bool WriteJsonLine(std::ostream& out, const nlohmann::ordered_json& object);

class CJsonEventWriter {
 public:
  // clockMs: milliseconds on a steady clock; "t" counts from the construction.
  CJsonEventWriter(std::ostream& out, std::string device, std::function<uint64_t()> clockMs);

  // speed in bit/s; image and type for a download only.
  void Started(EngineCommand command, const std::optional<std::string>& type, const std::optional<std::string>& image,
               std::optional<int> speed);
  void Phase(EnginePhase phase);
  void Phone(const PhoneInfo& info);
  void Progress(const BlockProgress& progress, const ProgressRate& rate);
  void Log(const char* kind, const std::string& text);
  // The last object for this device: nothing is written after it.
  // outcome: EndName of the run's end, or one of the outcomes above.
  void Finished(const char* outcome, int exitStatus);

  bool IsFinished() const { return m_finished; }
  double Seconds() const;

 private:
  void Write(nlohmann::ordered_json&& object, const char* event);

  std::ostream& m_out;
  std::string m_device;
  std::function<uint64_t()> m_clockMs;
  uint64_t m_startMs;
  bool m_finished = false;
  bool m_broken = false;
};
