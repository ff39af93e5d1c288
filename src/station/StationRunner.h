#pragma once
// Drives the station's model: a handset process of its own for each download it asks for
// (tarvisel-cli download IMAGE --device PORT --json --quiet and the choices made once for
// all), their events read from pipes into the rows, their ends concluded as a station's are,
// and the folder of port links followed as a watch follows it. The caller calls Pump often
// (the window from a timer); nothing here blocks.
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "DeviceFacts.h"
#include "HandsetProcess.h"
#include "PortFolder.h"
#include "StationModel.h"

struct StationRunnerSetup {
  std::string cliProgram;  // tarvisel-cli
  std::string portsDir = kDefaultPortsDir;  // empty: no folder is followed
  std::string historyFile;  // empty: the default place
  bool noHistory = false;
  std::string recordUrl = {};    // the line's shared record; empty: none
  std::string stationName = {};  // empty: the host name
};

// What the image offers, as the main window shows it.
struct StationImage {
  std::string path;
  bool ok = false;
  uint32_t size = 0;
  int32_t version = 0;
  std::string why;  // when not ok
};
// Checks the image as Open does (a FONT image is a raw file: type 2).
StationImage CheckStationImage(const std::string& path, int type);

// "USB 0403:6001, FTDI, FT232R USB UART, serial A50285BI, driver ftdi_sio -> /dev/ttyUSB0"; the tty alone without USB facts.
std::string PortFactsText(const std::string& path, CDeviceFacts* facts);

class CStationRunner {
 public:
  // facts may be null (nothing known of the adapters).
  CStationRunner(StationRunnerSetup setup, CDeviceFacts* facts);
  ~CStationRunner();
  CStationRunner(const CStationRunner&) = delete;
  CStationRunner& operator=(const CStationRunner&) = delete;

  // Follows the folder (its links present now become rows). False with why (no inotify).
  bool Start(std::string& error);

  CStationModel& Model() { return m_model; }
  const StationRunnerSetup& Setup() const { return m_setup; }

  // The choices for every handset.
  void SetImage(const std::string& path) { m_options.image = path; }
  const std::string& Image() const { return m_options.image; }
  void SetType(int type) { m_options.type = type; }
  void SetSpeedIndex(int speedIdx) { m_options.speedIdx = speedIdx; }
  // The arguments of one handset's process, with the answer the model passes.
  std::vector<std::string> CommandFor(const std::string& device) const;

  uint64_t AddPath(const std::string& device);

  // A unit scanned: to the row given (the selected one), else to the first row whose handset
  // is there, waits and has none, else to the next row that starts without one. The row it
  // went to; nullopt when it waits for one. A row keeps its unit until its handset is unplugged.
  std::optional<uint64_t> GiveUnit(const std::string& unit, std::optional<uint64_t> row);
  std::string UnitOf(uint64_t id) const;
  size_t UnitsWaiting() const { return m_unitQueue.size(); }
  // Stop: no new downloads, and each running handset is told to stop as the Stop button would.
  void Stop();
  // Ends every running handset as Ctrl-C twice would (the window closes).
  void EndAll();

  // Reads what waits, reaps the ended, follows the folder and starts what the model asks for.
  void Pump();
  // The descriptors Pump reads (for a poll or a socket notifier).
  std::vector<int> Fds() const;
  // Seconds on the runner's clock (the rows' times).
  double Now() const;
  bool AnyRunning() const { return !m_processes.empty(); }

 private:
  void StartPending();
  void Conclude(uint64_t id, const CHandsetProcess& process);

  StationRunnerSetup m_setup;
  CDeviceFacts* m_facts;
  CliOptions m_options;
  CStationModel m_model;
  std::unique_ptr<CPortFolder> m_folder;
  std::map<uint64_t, std::unique_ptr<CHandsetProcess>> m_processes;
  std::map<uint64_t, bool> m_stopped;  // told to stop
  std::map<uint64_t, std::string> m_units;
  std::deque<std::string> m_unitQueue;  // scanned before any row waited for them
  const std::chrono::steady_clock::time_point m_start;
};
