// serve under a line's load: a record of ROWS downloads (default 1,000,000) from 100 stations of
// 16 ports, over 30 days, and the live state of all 1,600 ports. Measures the time per request
// of the page's data (/api/line) and of /metrics, cold (the first, which reads every row) and
// while rows keep arriving, and the writes the live state puts on the record.
//   tarvisel_serve_bench [ROWS] [FOLDER]   prints markdown
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "HistoryDb.h"
#include "IsoTime.h"
#include "LineServer.h"
#include "LiveState.h"

using namespace std::chrono;
using Ms = duration<double, std::milli>;

namespace {

constexpr int kStations = 100;
constexpr int kPorts = 16;
const char* const kOutcomes[] = {"completed", "no-reply", "line-broke", "handset-refused", "stopped"};

std::string Station(int s) { return "station-" + std::to_string(s); }
std::string Port(int p) { return "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A" + std::to_string(1000 + p) + "-if00-port0"; }

// Rows as stations append them, but many to a transaction: the figure is the reader's, not this.
void AddRows(const std::string& path, int64_t rows, system_clock::time_point end, system_clock::duration span,
             std::mt19937& random) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO downloads (start, \"end\", host, device, image, outcome, elapsed_s, resends, tool_version)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?, 'bench')",
                     -1, &insert, nullptr);
  std::uniform_int_distribution<int> station(0, kStations - 1), port(0, kPorts - 1), image(1, 5), outcome(0, 99);
  std::normal_distribution<double> elapsed(95, 20);
  const auto step = span / std::max<int64_t>(rows, 1);
  for (int64_t i = 0; i < rows; ++i) {
    const auto at = end - span + step * i;
    const double secs = std::max(5.0, elapsed(random));
    const int o = outcome(random);
    const std::string texts[] = {IsoUtc(at - duration_cast<system_clock::duration>(duration<double>(secs))), IsoUtc(at),
                                 Station(station(random)), Port(port(random)),
                                 "/srv/images/fw-" + std::to_string(image(random)) + ".bin",
                                 kOutcomes[o < 94 ? 0 : 1 + o % 4]};
    for (int k = 0; k < 6; ++k) sqlite3_bind_text(insert, k + 1, texts[k].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 7, secs);
    sqlite3_bind_int(insert, 8, o % 7 == 0 ? 1 : 0);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

// The time of this thread on a processor: on a machine that others share, what the request
// itself costs.
double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Timed {
  std::vector<double> wall, cpu;
  template <class F>
  void operator()(F&& f) {
    const auto at = steady_clock::now();
    const double c = CpuMs();
    f();
    cpu.push_back(CpuMs() - c);
    wall.push_back(Ms(steady_clock::now() - at).count());
  }
};

struct Figures {
  double median = 0, p95 = 0, max = 0;
};
Figures Of(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back()};
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t rows = argc > 1 ? std::stoll(argv[1]) : 1000000;
  const std::string folder = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
  const std::string path = folder + "/serve-bench.sqlite";
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  std::string error;
  if (!CHistoryDb::Open(path, CHistoryDb::Access::Append, error)) {
    std::fprintf(stderr, "cannot make the record: %s\n", error.c_str());
    return 1;
  }
  std::mt19937 random(4242);
  const auto made = steady_clock::now();
  AddRows(path, rows, system_clock::now(), hours(24 * 30), random);
  const double makeS = duration<double>(steady_clock::now() - made).count();

  // The live state: every station publishing all its ports, each handset reporting ten times a
  // second, for a minute of the stations' time; the clock is the publishers', not the wall's.
  std::vector<std::unique_ptr<CLiveStatePublisher>> stations;
  for (int s = 0; s < kStations; ++s) stations.push_back(std::make_unique<CLiveStatePublisher>(path, Station(s)));
  const auto t0 = steady_clock::now();
  constexpr int kSeconds = 60, kReportsPerSecond = 10;
  std::vector<double> flushMs;
  for (int tick = 0; tick < kSeconds * kReportsPerSecond; ++tick) {
    const auto at = t0 + milliseconds(1000 / kReportsPerSecond) * tick;
    for (int s = 0; s < kStations; ++s) {
      const auto began = steady_clock::now();
      for (int p = 0; p < kPorts; ++p)
        stations[s]->Set({Port(p), true, "programming", (tick % 100) + p * 0.01, "", "completed"}, at);
      stations[s]->Flush(at);
      if (tick % kReportsPerSecond == 0) flushMs.push_back(Ms(steady_clock::now() - began).count());
    }
  }
  long writes = 0;
  for (const auto& s : stations) writes += s->Writes();
  const Figures flush = Of(flushMs);

  std::string why;
  auto record = OpenSqliteLineRecord(path, why);
  if (!record) {
    std::fprintf(stderr, "cannot read the record: %s\n", why.c_str());
    return 1;
  }
  CLineServer server(std::move(record));
  const auto cold = steady_clock::now();
  const double coldCpu = CpuMs();
  const auto first = server.Get("/api/line");
  const double coldMs = Ms(steady_clock::now() - cold).count(), coldCpuMs = CpuMs() - coldCpu;
  // The heartbeats stay fresh while requests are timed: stations online, ports busy.
  int beats = 0;
  auto beat = [&] {
    ++beats;
    for (auto& s : stations) s->Flush(t0 + hours(1) + kLiveHeartbeat * beats);
  };
  Timed line, metrics, lineGrowing, metricsGrowing;
  size_t lineBytes = first.body.size(), metricsBytes = 0;
  for (int i = 0; i < 50; ++i) {
    if (i % 10 == 0) beat();
    line([&] { lineBytes = server.Get("/api/line").body.size(); });
    std::string body;
    metrics([&] { body = server.Get("/metrics").body; });
    metricsBytes = body.size();
    if (body.find("tarvisel_stations_online 100\n") == std::string::npos) {
      std::fprintf(stderr, "not every station online in /metrics\n");
      return 1;
    }
  }
  // A busy line: 100 rows arrive between one request and the next.
  for (int i = 0; i < 30; ++i) {
    AddRows(path, 100, system_clock::now(), seconds(1), random);
    lineGrowing([&] { server.Get("/api/line"); });
    AddRows(path, 100, system_clock::now(), seconds(1), random);
    metricsGrowing([&] { server.Get("/metrics"); });
  }
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("### serve: %lld rows, %d stations of %d ports\n\n", static_cast<long long>(rows), kStations, kPorts);
  std::printf("Record made in %.1f s (%.0f MiB). First request (reads every row): %.0f ms (%.0f ms of CPU). "
              "Load average at the end: %.1f.\n\n",
              makeS, static_cast<double>(std::filesystem::file_size(path)) / (1 << 20), coldMs, coldCpuMs, load[0]);
  std::printf("| request | body | median | 95th %% | max | CPU median | CPU 95th %% |\n|---|---:|---:|---:|---:|---:|---:|\n");
  auto row = [](const char* what, size_t bytes, const Timed& t) {
    const Figures w = Of(t.wall), c = Of(t.cpu);
    std::printf("| %s | %s | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %.1f ms |\n", what,
                bytes ? (std::to_string(bytes / 1024) + " KiB").c_str() : "", w.median, w.p95, w.max, c.median, c.p95);
  };
  row("`/api/line`", lineBytes, line);
  row("`/metrics`", metricsBytes, metrics);
  row("`/api/line`, 100 new rows before each", 0, lineGrowing);
  row("`/metrics`, 100 new rows before each", 0, metricsGrowing);
  std::printf("\n");
  std::printf("Live state: %d stations x %d ports, each port reporting %d times a second for %d s of the stations' "
              "time: %ld rows written, %.0f writes/s on the record (%.0f a station), one transaction a station "
              "a second; a station's second of writes took %.2f ms median, %.2f ms at the 95th percentile, "
              "%.2f ms at most.\n",
              kStations, kPorts, kReportsPerSecond, kSeconds, writes, static_cast<double>(writes) / kSeconds,
              static_cast<double>(writes) / kSeconds / kStations, flush.median, flush.p95, flush.max);
  stations.clear();
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  return 0;
}
