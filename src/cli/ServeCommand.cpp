#include "ServeCommand.h"

#include <signal.h>

#include <atomic>
#include <thread>

#include "ExitStatus.h"
#include "LineServer.h"
#include "PgConnection.h"
#include "platform/Translate.h"

int RunServeCommand(const CliOptions& options, ConsoleStreams& console) {
  const auto listen = ParseListenAddress(options.listen);
  if (!listen) {
    console.err << "tarvisel-cli: --listen: " << Tr("ADDRESS:PORT, not") << " \"" << options.listen << "\"\n";
    return kExitUsage;
  }
  // The line's shared record where one is named (--history says otherwise), else this station's own.
  const std::string url = options.historyFile.empty() ? RecordUrlOf(options) : std::string();
  const std::string path = url.empty() ? HistoryPathOf(options) : std::string();
  const std::string from = url.empty() ? path : PgUrlShown(url);
  std::string error;
  auto record = url.empty() ? OpenSqliteLineRecord(path, error) : OpenPgLineRecord(url, error);
  if (!record) {
    console.err << "serve: " << Tr("cannot read the record") << ": " << error << "\n";
    return 1;
  }
  CLineServer server(std::move(record));
  if (!server.Load(error)) {
    console.err << "serve: " << Tr("cannot read the record") << ": " << error << "\n";
    return 1;
  }
  // SIGINT and SIGTERM go to the watcher below, not to whichever of the server's threads.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  const int port = server.Bind(*listen);
  if (port < 0) {
    console.err << "serve: " << Tr("cannot listen on") << " " << options.listen << "\n";
    return kExitPort;
  }
  const std::string host = listen->host.find(':') != std::string::npos ? "[" + listen->host + "]" : listen->host;
  console.out << "serving http://" << host << ":" << port << "/ " << Tr("from") << " " << from << std::endl;
  std::atomic<bool> signalled{false};
  std::thread watcher([&] {
    int sig = 0;
    sigwait(&stops, &sig);
    signalled = true;
    server.Stop();
  });
  server.Run();
  // Run ended on its own (not by a signal): the watcher is let go with a signal of its own.
  if (!signalled) pthread_kill(watcher.native_handle(), SIGTERM);
  watcher.join();
  return kExitOk;
}
