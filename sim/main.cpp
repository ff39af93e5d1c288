// tarvisel-sim: the simulated handset on a pty.
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "PtyHandset.h"
#include "SimOptions.h"
#include "TarviselVersion.h"

int main(int argc, char** argv) {
  sim::SimOptions opt;
  std::string error;
  if (!sim::ParseSimArgs(std::vector<std::string>(argv + 1, argv + argc), opt, error)) {
    std::cerr << "tarvisel-sim: " << error << "\n";
    return 2;
  }
  if (opt.help) {
    std::cout << sim::SimUsage();
    return 0;
  }
  if (opt.version) {
    std::cout << "tarvisel-sim " << kTarviselVersion << "\n";
    return 0;
  }

  // The signals become readable on a descriptor the runner watches: no handler, no globals.
  // SIGUSR1 power-cycles the handset; the others stop.
  sigset_t signalSet;
  sigemptyset(&signalSet);
  sigaddset(&signalSet, SIGINT);
  sigaddset(&signalSet, SIGTERM);
  sigaddset(&signalSet, SIGHUP);
  sigaddset(&signalSet, SIGUSR1);
  if (sigprocmask(SIG_BLOCK, &signalSet, nullptr) != 0) {
    std::perror("tarvisel-sim: sigprocmask");
    return 1;
  }
  CUniqueFd signals(signalfd(-1, &signalSet, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals.Valid()) {
    std::perror("tarvisel-sim: signalfd");
    return 1;
  }

  auto model = std::make_unique<sim::CHandsetModel>(opt.scenario, opt.flashSize);
  std::ofstream record;
  if (!opt.record.empty()) {
    record.open(opt.record, std::ios::trunc);
    if (!record) {
      std::cerr << "tarvisel-sim: cannot write " << opt.record << "\n";
      return 1;
    }
  }
  const bool verbose = opt.verbose;
  model->SetRecordSink([&record, verbose](const sim::FrameRecord& r) {
    const std::string line = sim::FormatRecord(r);
    if (record.is_open()) record << line << std::endl;
    if (verbose) std::cerr << line << "\n";
  });

  auto powerCycled = [&record](const sim::CHandsetModel& m, bool flashIncomplete) {
    const std::string line = std::string("power cycle: boots into ") + sim::ModeName(m.Mode()) + " mode" +
                             (flashIncomplete ? " (flash incomplete)" : "") + " at " + std::to_string(m.Baud()) +
                             " bit/s";
    std::cerr << "tarvisel-sim: " << line << std::endl;
    if (record.is_open()) record << "# " << line << std::endl;
  };
  sim::CPtyHandset pty(std::move(model), sim::PtyOptions{opt.pace, opt.link, opt.exitAfterDownload, opt.lineLog});
  pty.SetPowerCycleSink(powerCycled);
  if (!pty.Open()) {
    std::cerr << "tarvisel-sim: " << pty.Error() << "\n";
    return 1;
  }
  std::cout << pty.SlavePath() << std::endl;

  const sim::CPtyHandset::End end = pty.Run(signals.Get());
  int rc = 0;
  if (end == sim::CPtyHandset::End::Failed) {
    std::cerr << "tarvisel-sim: " << pty.Error() << "\n";
    rc = 1;
  } else if (end == sim::CPtyHandset::End::HungUp) {
    std::cerr << "tarvisel-sim: hung up as the scenario asked\n";
  }
  // Scripts check this line: a host must not start a new request while a reply is owed.
  const std::string owed =
      "requests sent while a reply was owed: " + std::to_string(pty.Model().RequestsWhileOwed());
  const std::string flipped = "bits flipped on the line: " + std::to_string(pty.Model().BitsFlippedFromHost()) +
                              " host to handset, " + std::to_string(pty.Model().BitsFlippedToHost()) +
                              " handset to host";
  std::cerr << "tarvisel-sim: " << owed << "\n" << "tarvisel-sim: " << flipped << "\n";
  if (record.is_open()) record << "# " << flipped << "\n# " << owed << std::endl;
  if (!opt.saveFlash.empty() && !pty.Model().SaveFlash(opt.saveFlash)) {
    std::cerr << "tarvisel-sim: cannot write " << opt.saveFlash << "\n";
    rc = 1;
  }
  return rc;
}
