#pragma once
// The window's downloads in the record: each Run from its start to its outcome, over the
// engine's events. The window has no exit status of its own; its row carries the one
// tarvisel-cli gives the same outcome.
#include <functional>

#include "DownloadRecorder.h"
#include "EngineEvents.h"

class CWindowRecorder final : public CEngineEvents {
 public:
  // context: the device, image, type and speed of the download starting, read from the window.
  CWindowRecorder(CDownloadRecorder& recorder, std::function<DownloadStart()> context);

  void OnImageOpened(const ImageInfo& image) override { m_recorder.Image(image); }
  void OnStarted(EngineCommand command) override;
  void OnPhoneInfo(const PhoneInfo& info) override { m_recorder.Phone(info); }
  void OnResend(const ResendInfo&) override { m_recorder.Resend(); }
  void OnFinished(EngineCommand command, Outcome outcome) override;

 private:
  CDownloadRecorder& m_recorder;
  std::function<DownloadStart()> m_context;
};
