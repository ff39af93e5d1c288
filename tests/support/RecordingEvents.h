#pragma once
// Notes every event the engine reports, in order, for tests to assert outcomes and progress.
#include <optional>
#include <string>
#include <vector>

#include "EngineEvents.h"

class CRecordingEvents : public CEngineEvents {
 public:
  struct Finish {
    EngineCommand command;
    Outcome outcome;
  };

  void OnImageOpened(const ImageInfo& image) override { images.push_back(image); }
  void OnStarted(EngineCommand command) override {
    started.push_back(command);
    order.push_back(std::string("started ") + CommandName(command));
  }
  void OnPhase(EnginePhase phase) override {
    phases.push_back(phase);
    order.push_back(std::string("phase ") + PhaseName(phase));
  }
  void OnProgress(const BlockProgress& p) override { progress.push_back(p); }
  void OnPhoneInfo(const PhoneInfo& info) override { phone = info; }
  void OnLog(LogTone tone, const std::string& text) override { logs.push_back({tone, text}); }
  void OnProgrammed(uint64_t elapsedMs) override { programmedMs = elapsedMs; }
  void OnFinished(EngineCommand command, Outcome outcome) override {
    finished.push_back({command, outcome});
    order.push_back(std::string("finished ") + OutcomeName(outcome));
  }
  void OnPortError(const std::string& why) override { portErrors.push_back(why); }

  std::optional<Outcome> LastOutcome() const {
    return finished.empty() ? std::nullopt : std::optional<Outcome>(finished.back().outcome);
  }

  std::vector<ImageInfo> images;
  std::vector<EngineCommand> started;
  std::vector<EnginePhase> phases;
  std::vector<BlockProgress> progress;
  std::optional<PhoneInfo> phone;
  std::vector<std::pair<LogTone, std::string>> logs;
  std::optional<uint64_t> programmedMs;
  std::vector<Finish> finished;
  std::vector<std::string> portErrors;
  std::vector<std::string> order;  // started, phases and finishes as words
};
