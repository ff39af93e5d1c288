#include "RecordCommand.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "ExitStatus.h"
#include "HistoryCommand.h"
#include "HistoryDb.h"
#include "IsoTime.h"
#include "RecordUploader.h"
#include "SharedRecord.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kConnectBound = std::chrono::seconds(15);
// A whole day's outbox goes within this.
constexpr auto kSyncBound = std::chrono::minutes(30);

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", s);
  return text;
}

int Init(const CliOptions& o, ConsoleStreams& console) {
  std::string error;
  const auto deadline = Clock::now() + kConnectBound;
  const auto record = CSharedRecord::Open(o.recordUrl, deadline, error);
  if (!record) {
    console.err << "record: cannot connect to " << PgUrlShown(o.recordUrl) << ": " << error << "\n";
    return 1;
  }
  const SharedInit init = record->Init(Clock::now() + std::chrono::minutes(5));
  console.err << "record: " << init.message << "\n";
  if (!init.ok) return 1;
  console.out << StationRoleSql() << std::flush;
  console.err << "record: the SQL above makes a role that may only add rows; point each station at the record with "
                 "--record or TARVISEL_RECORD\n";
  return 0;
}

std::string OutboxPath(const CliOptions& o, ConsoleStreams& console) {
  const std::string path = HistoryPathOf(o);
  if (path.empty()) console.err << "record: no place for the record (no home folder): name one with --history FILE\n";
  return path;
}

int Sync(const CliOptions& o, ConsoleStreams& console) {
  const std::string url = RecordUrlOf(o);
  if (url.empty()) {
    console.err << "record: no shared record: name it with --record URL or TARVISEL_RECORD\n";
    return kExitUsage;
  }
  const std::string path = OutboxPath(o, console);
  if (path.empty()) return 1;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    console.err << "record: 0 rows sent; nothing waits (there is no " << path << " yet)\n";
    return 0;
  }
  std::string error;
  const auto outbox = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
  if (!outbox) {
    console.err << "record: cannot open " << path << ": " << error << "\n";
    return 1;
  }
  const auto record = CSharedRecord::Open(url, Clock::now() + kConnectBound, error);
  if (!record) {
    std::string ignored;
    outbox->SetState(kLastErrorKey, IsoUtc(std::chrono::system_clock::now()) + " " + error, ignored);
    console.err << "record: cannot connect to " << PgUrlShown(url) << ": " << error << "; "
                << outbox->PendingCount(ignored).value_or(0) << " row(s) wait\n";
    return 1;
  }
  const OutboxDrain d = DrainOutbox(*outbox, *record, Clock::now() + kSyncBound);
  console.err << "record: " << d.sent << " row(s) sent";
  if (d.sent != d.fresh) console.err << " (" << d.sent - d.fresh << " the server had already)";
  console.err << "; " << d.pending << " wait";
  if (!d.ok) console.err << " (" << d.error << ")";
  console.err << "\n";
  return d.ok && d.pending == 0 ? 0 : 1;
}

int Status(const CliOptions& o, ConsoleStreams& console) {
  const std::string path = OutboxPath(o, console);
  if (path.empty()) return 1;
  std::error_code ec;
  std::string error;
  std::unique_ptr<CHistoryDb> outbox;
  if (std::filesystem::exists(path, ec)) {
    outbox = CHistoryDb::Open(path, CHistoryDb::Access::Read, error);
    if (!outbox) {
      console.err << "record: cannot read " << path << ": " << error << "\n";
      return 1;
    }
  }
  const auto pending = outbox ? outbox->PendingCount(error) : std::optional<int64_t>(0);
  const std::string lastUpload = outbox ? outbox->State(kLastUploadKey, error) : "";
  const std::string lastError = outbox ? outbox->State(kLastErrorKey, error) : "";
  console.out << "outbox:      " << path << "\n"
              << "pending:     " << pending.value_or(-1) << " row(s)\n"
              << "last upload: " << (lastUpload.empty() ? "never" : lastUpload + " row(s)") << "\n"
              << "last error:  " << (lastError.empty() ? "none" : lastError) << "\n";
  const std::string url = RecordUrlOf(o);
  if (url.empty()) {
    console.out << "record:      none (--record URL or TARVISEL_RECORD)\n" << std::flush;
    return 0;
  }
  console.out << "record:      " << PgUrlShown(url) << "\n";
  const auto record = CSharedRecord::Open(url, Clock::now() + kConnectBound, error);
  const auto offset = record ? record->ServerClockOffset(Clock::now() + kConnectBound, error) : std::nullopt;
  if (!offset) {
    console.out << "server:      not reached (" << error << ")\n" << std::flush;
    return 0;
  }
  const double skew = -*offset;  // this station's clock minus the server's
  console.out << "clock:       " << (skew >= 0 ? "+" : "") << Seconds(skew) << " s against the server's";
  if (std::fabs(skew) > kClockSkewLimitS) console.out << " (more than a minute off: set this station's clock)";
  console.out << "\n";
  if (const auto skewed = record->SkewedStations(Clock::now() + kConnectBound, error)) {
    for (const auto& s : *skewed)
      console.out << "off clock:   station " << s.station << " was " << Seconds(s.skewS) << " s off at "
                  << s.lastReceived << "\n";
  }
  console.out << std::flush;
  return 0;
}

}  // namespace

int RunRecordCommand(const CliOptions& options, ConsoleStreams& console) {
  switch (options.command) {
    case CliCommand::RecordInit: return Init(options, console);
    case CliCommand::RecordSync: return Sync(options, console);
    case CliCommand::RecordStatus: return Status(options, console);
    default: return kExitUsage;
  }
}
