#include "WindowRecorder.h"

#include "ExitStatus.h"

CWindowRecorder::CWindowRecorder(CDownloadRecorder& recorder, std::function<DownloadStart()> context)
    : m_recorder(recorder), m_context(std::move(context)) {}

void CWindowRecorder::OnStarted(EngineCommand command) {
  // Info and ToDM are no downloads.
  if (command == EngineCommand::Download) m_recorder.Begin(m_context());
}

void CWindowRecorder::OnFinished(EngineCommand command, Outcome outcome) {
  if (command != EngineCommand::Download) return;
  const RunEnd end = EndOfOutcome(outcome);
  m_recorder.Finish(EndName(end), ExitStatusOf(end));
}
