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
#include "platform/Translate.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kConnectBound = std::chrono::seconds(15);
// A whole day's outbox goes within this.
constexpr auto kSyncBound = std::chrono::minutes(30);

// The text in the user's language, its %1, %2 ... filled in after.
std::string Say(const char* format, std::initializer_list<std::string> values = {}) {
  std::string text = Tr(format);
  size_t n = 0;
  for (const std::string& v : values) {
    const std::string mark = "%" + std::to_string(++n);
    const size_t at = text.find(mark);
    if (at != std::string::npos) text.replace(at, mark.size(), v);
  }
  return text;
}

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
    console.err << Say("record: cannot connect to %1: %2", {PgUrlShown(o.recordUrl), error}) << "\n";
    return 1;
  }
  const SharedInit init = record->Init(Clock::now() + std::chrono::minutes(5));
  console.err << "record: " << init.message << "\n";
  if (!init.ok) return 1;
  console.out << StationRoleSql() << std::flush;
  console.err << Say("record: the SQL above makes a role that may only add rows; point each station at the record "
                     "with --record or TARVISEL_RECORD")
              << "\n";
  return 0;
}

std::string OutboxPath(const CliOptions& o, ConsoleStreams& console) {
  const std::string path = HistoryPathOf(o);
  if (path.empty()) console.err << Say("record: no place for the record (no home folder): name one with --history FILE") << "\n";
  return path;
}

int Sync(const CliOptions& o, ConsoleStreams& console) {
  const std::string url = RecordUrlOf(o);
  if (url.empty()) {
    console.err << Say("record: no shared record: name it with --record URL or TARVISEL_RECORD") << "\n";
    return kExitUsage;
  }
  const std::string path = OutboxPath(o, console);
  if (path.empty()) return 1;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    console.err << Say("record: 0 row(s) sent; nothing waits (there is no %1 yet)", {path}) << "\n";
    return 0;
  }
  std::string error;
  const auto outbox = CHistoryDb::Open(path, CHistoryDb::Access::Append, error);
  if (!outbox) {
    console.err << Say("record: cannot open %1: %2", {path, error}) << "\n";
    return 1;
  }
  const auto record = CSharedRecord::Open(url, Clock::now() + kConnectBound, error);
  if (!record) {
    std::string ignored;
    outbox->SetState(kLastErrorKey, IsoUtc(std::chrono::system_clock::now()) + " " + error, ignored);
    console.err << Say("record: cannot connect to %1: %2; %3 row(s) wait",
                       {PgUrlShown(url), error, std::to_string(outbox->PendingCount(ignored).value_or(0))})
                << "\n";
    return 1;
  }
  const OutboxDrain d = DrainOutbox(*outbox, *record, Clock::now() + kSyncBound);
  console.err << Say("record: %1 row(s) sent", {std::to_string(d.sent)});
  if (d.sent != d.fresh) console.err << Say(" (%1 the server had already)", {std::to_string(d.sent - d.fresh)});
  console.err << Say("; %1 wait", {std::to_string(d.pending)});
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
      console.err << Say("record: cannot read %1: %2", {path, error}) << "\n";
      return 1;
    }
  }
  const auto pending = outbox ? outbox->PendingCount(error) : std::optional<int64_t>(0);
  const std::string lastUpload = outbox ? outbox->State(kLastUploadKey, error) : "";
  const std::string lastError = outbox ? outbox->State(kLastErrorKey, error) : "";
  console.out << Say("outbox:      %1", {path}) << "\n"
              << Say("pending:     %1 row(s)", {std::to_string(pending.value_or(-1))}) << "\n"
              << (lastUpload.empty() ? Say("last upload: never") : Say("last upload: %1 row(s)", {lastUpload})) << "\n"
              << (lastError.empty() ? Say("last error:  none") : Say("last error:  %1", {lastError})) << "\n";
  const std::string url = RecordUrlOf(o);
  if (url.empty()) {
    console.out << Say("record:      none (--record URL or TARVISEL_RECORD)") << "\n" << std::flush;
    return 0;
  }
  console.out << Say("record:      %1", {PgUrlShown(url)}) << "\n";
  const auto record = CSharedRecord::Open(url, Clock::now() + kConnectBound, error);
  const auto offset = record ? record->ServerClockOffset(Clock::now() + kConnectBound, error) : std::nullopt;
  if (!offset) {
    console.out << Say("server:      not reached (%1)", {error}) << "\n" << std::flush;
    return 0;
  }
  const double skew = -*offset;  // this station's clock minus the server's
  console.out << Say("clock:       %1 s against the server's", {(skew >= 0 ? "+" : "") + Seconds(skew)});
  if (std::fabs(skew) > kClockSkewLimitS) console.out << Say(" (more than a minute off: set this station's clock)");
  console.out << "\n";
  if (const auto skewed = record->SkewedStations(Clock::now() + kConnectBound, error)) {
    for (const auto& s : *skewed)
      console.out << Say("off clock:   station %1 was %2 s off at %3", {s.station, Seconds(s.skewS), s.lastReceived})
                  << "\n";
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
