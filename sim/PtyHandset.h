#pragma once
// Runs a CHandsetModel in real time behind a pty: the host opens SlavePath() as its serial
// port. The runner keeps a descriptor of the slave of its own, to read the speed the host set
// (tcgetattr) and so that the host's close does not hang up the master; it never reads it.
//
// With pacing every byte takes 10 bit times at the line rate in both directions: replies are
// written at that rate, and the host's bytes are read no faster, so the pty buffer fills and
// holds the host back as a real line would.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HandsetModel.h"
#include "platform/UniqueFd.h"

namespace sim {

struct PtyOptions {
  bool pace = false;
  std::string linkPath;            // a symbolic link to the slave, removed at the end
  bool exitAfterDownload = false;  // end once the final jump's ACK is out
  std::string lineLog;             // every byte that crosses the line, with its time
};

class CPtyHandset {
 public:
  enum class End { Stopped, HungUp, DownloadDone, Failed };

  CPtyHandset(std::unique_ptr<CHandsetModel> model, PtyOptions options);
  ~CPtyHandset();
  CPtyHandset(const CPtyHandset&) = delete;
  CPtyHandset& operator=(const CPtyHandset&) = delete;

  // Makes the pty (and the link). False with Error() set when it could not.
  bool Open();
  const std::string& SlavePath() const { return m_slavePath; }
  const std::string& Error() const { return m_error; }

  // Serves the host until Stop(), a stop on stopFd, the model's hang-up (the master is then
  // closed), or the end of a download when asked for. A signalfd as stopFd brings SIGUSR1 as
  // a power cycle and any other signal as a stop; anything else readable there stops.
  End Run(int stopFd = -1);
  // From any thread or a signal handler.
  void Stop();
  void PowerCycle();
  // Told after each power cycle, with whether the flash left incomplete chose the boot mode.
  using PowerCycleSink = std::function<void(const CHandsetModel&, bool flashIncomplete)>;
  void SetPowerCycleSink(PowerCycleSink sink) { m_powerSink = std::move(sink); }

  // Not while Run runs.
  CHandsetModel& Model() { return *m_model; }
  uint64_t DroppedBursts() const { return m_dropped; }

 private:
  uint32_t SlaveBaud() const;
  void WaitHostDrained();
  void RemoveLink();
  // The line log: bytes one way join the pending line until the other way speaks, a pause
  // of 2 ms, a speed change or 32 bytes.
  void LogLine(uint64_t nowNs, bool fromHost, uint32_t baud, const uint8_t* bytes, size_t n);
  void FlushLine();

  std::unique_ptr<CHandsetModel> m_model;
  PtyOptions m_options;
  PowerCycleSink m_powerSink;
  CUniqueFd m_master;
  CUniqueFd m_slave;
  CUniqueFd m_stopRead;
  CUniqueFd m_stopWrite;
  std::string m_slavePath;
  bool m_linkMade = false;
  std::string m_error;
  uint64_t m_dropped = 0;
  std::ofstream m_lineLog;
  struct PendingLine {
    uint64_t startNs = 0;
    uint64_t lastNs = 0;
    bool fromHost = false;
    uint32_t baud = 0;
    std::vector<uint8_t> bytes;
  } m_line;
};

// The speed in bit/s of a termios speed code; 0 for one not known.
uint32_t SpeedOfCode(unsigned code);

// How many bytes (at most `most`) may cross the paced line at nowNs, each taking byteNs;
// nextNs is when the next one may and the caller moves it on by what it moved. An idle line
// saves no credit; a busy one (bytes waited all along) was sending them even while the runner
// was not scheduled, so they are owed at once.
size_t LineBudget(uint64_t nowNs, uint64_t& nextNs, uint64_t byteNs, size_t most, bool busy);

}  // namespace sim
