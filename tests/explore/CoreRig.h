#pragma once
// The download core driven directly on virtual time against the in-process handset: the link
// over the loopback device frames what the core sends and assembles what the handset answers,
// and this carries out the core's actions as the window would, with no window between.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Comm/QTextQ.h"
#include "Comm/bsscomm.h"
#include "DloadFile.h"
#include "LoopbackDevice.h"
#include "engine/DownloadCore.h"

namespace explore {

class CCoreRig : private CMessageTarget {
 public:
  struct Finish {
    EngineCommand command;
    Outcome outcome;
  };

  CCoreRig(const sim::CScenario& scenario, size_t flashSize);
  ~CCoreRig() override;
  CCoreRig(const CCoreRig&) = delete;
  CCoreRig& operator=(const CCoreRig&) = delete;

  // Opens the image (false when it cannot be read) and starts the download.
  bool StartDownload(const std::string& imagePath, const engine::DownloadJob& job);
  // Runs until the command ends or boundMs of virtual time went by; true when it ended.
  bool RunUntilFinished(uint64_t boundMs);
  void RunFor(uint64_t ms);

  uint64_t Now() const { return m_now; }
  const uint64_t* Clock() const { return &m_now; }
  uint32_t FileVersion() const { return m_file.GetVersion(); }
  bool BoxShown(const std::string& text) const;

  std::vector<Finish> finished;
  std::vector<std::string> boxes;
  std::vector<std::string> logs;
  sim::CLoopbackDevice* loop = nullptr;

 private:
  void PostMessage(const WindowMessage& msg) override;
  engine::Moment Moment() const { return engine::Moment{m_now, m_comm->GetTxEnd()}; }
  void Drive();
  void Apply(const engine::Action& action);
  // One step of virtual time: what is due first (frames, then timers); false when nothing is.
  bool Step(uint64_t untilMs);
  void DeliverUntil(uint64_t untilMs);
  void DeliverFrames();

  uint64_t m_now = 0;
  std::unique_ptr<CBssComm> m_comm;
  CQTextQ m_textQ;
  CDloadFile m_file;
  CDownloadCore m_core;
  std::map<uint32_t, uint64_t> m_timers;  // id: when it runs out
  std::deque<RxPacket> m_frames;
  bool m_hangupSeen = false;
};

}  // namespace explore
