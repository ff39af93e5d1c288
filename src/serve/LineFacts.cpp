#include "LineFacts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>

#include "ExitStatus.h"
#include "IsoTime.h"
#include "LiveState.h"
#include "platform/Translate.h"

using json = nlohmann::json;
using namespace std::chrono;

namespace {

constexpr size_t kReadBatch = 50000;
constexpr auto kHoursKept = hours(49);
constexpr int kChartHours = 24;

// The words for an outcome name; the name itself for one this build does not know.
std::string OutcomeWords(const std::string& outcome) {
  for (int e = 0; e <= static_cast<int>(RunEnd::Interrupted); ++e)
    if (outcome == EndName(static_cast<RunEnd>(e))) {
      const std::string words = DescribeEnd(static_cast<RunEnd>(e));
      return Tr(words.c_str());
    }
  return outcome;
}

bool Completed(const std::string& outcome) { return outcome == EndName(RunEnd::Completed); }

// "2026-12-09T10:15:02.125Z" -> "2026-12-09T10"
std::string HourOf(const std::string& iso) { return iso.size() >= 13 ? iso.substr(0, 13) : iso; }

std::string HourIso(const std::string& hour) { return hour + ":00:00.000Z"; }

json Counted(int64_t total, int64_t completed) {
  return {{"total", total},
          {"completed", completed},
          {"failed", total - completed},
          {"yield", total ? json(std::round(1000.0 * static_cast<double>(completed) / static_cast<double>(total)) / 10) : json(nullptr)}};
}

json RowJson(const LineRow& r) {
  return {{"start", r.start},
          {"end", r.end},
          {"station", r.station},
          {"port", r.port},
          {"image", ImageName(r.image)},
          {"unit", r.unit.empty() ? json(nullptr) : json(r.unit)},
          {"outcome", r.outcome},
          {"outcome_words", OutcomeWords(r.outcome)},
          {"elapsed_s", r.elapsedS ? json(*r.elapsedS) : json(nullptr)},
          {"resends", r.resends}};
}

// A label value as the text format wants it: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string Label(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + LabelValue(value) + "\"";
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

std::string ImageName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

system_clock::time_point LocalMidnight(system_clock::time_point now) {
  const std::time_t t = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return system_clock::from_time_t(std::mktime(&local));
}

void CLineFacts::Take(const LineRow& r, const Cutoffs& cutoffs) {
  const std::string image = ImageName(r.image);
  Counter& downloads = m_downloads[{r.station, r.port, image, r.outcome}];
  if (downloads.series.empty())
    downloads.series = "tarvisel_downloads_total{" + Label("station", r.station) + "," + Label("port", r.port) + "," +
                       Label("image", image) + "," + Label("outcome", r.outcome) + "} ";
  ++downloads.n;
  Counter& resends = m_resends[{r.station, r.port}];
  if (resends.series.empty())
    resends.series = "tarvisel_resends_total{" + Label("station", r.station) + "," + Label("port", r.port) + "} ";
  resends.n += r.resends;
  if (r.elapsedS) {
    Duration& d = m_durations[r.station];
    const auto bound = std::lower_bound(std::begin(kDurationBounds), std::end(kDurationBounds), *r.elapsedS);
    if (bound != std::end(kDurationBounds)) ++d.buckets[static_cast<size_t>(bound - std::begin(kDurationBounds))];
    d.sum += *r.elapsedS;
    ++d.count;
  }
  const std::string hour = HourOf(r.end);
  if (hour >= cutoffs.oldestHour) ++m_hours[hour][{r.station, r.port, image, r.outcome}];
  // Kept sorted and cut now and then, not at every row: the first read takes every row there is.
  m_latest.push_front(r);
  if (m_latest.size() >= 2 * kLatestKept) TrimLatest();
  if (!Completed(r.outcome) && r.end >= cutoffs.failuresSince) m_failures.push_back(r);
}

bool CLineFacts::Refresh(SystemTime now, std::string& error) {
  std::vector<LineRow> rows;
  const Cutoffs cutoffs{HourOf(IsoUtc(now - kHoursKept)), IsoUtc(now - hours(2))};
  do {
    rows.clear();
    if (!m_record.RowsAfter(m_lastId, kReadBatch, rows, error)) return false;
    for (const auto& r : rows) Take(r, cutoffs);
    if (!rows.empty()) m_lastId = rows.back().id;
  } while (rows.size() == kReadBatch);
  TrimLatest();
  std::stable_sort(m_failures.begin(), m_failures.end(), [](const LineRow& a, const LineRow& b) { return a.end < b.end; });
  const std::string twoHours = IsoUtc(now - hours(2));
  while (!m_failures.empty() && m_failures.front().end < twoHours) m_failures.pop_front();
  const std::string oldest = HourOf(IsoUtc(now - kHoursKept));
  while (!m_hours.empty() && m_hours.begin()->first < oldest) m_hours.erase(m_hours.begin());

  std::vector<LivePortRow> ports;
  std::vector<StationBeat> stations;
  if (!m_record.Live(ports, stations, error)) return false;
  m_ports = std::move(ports);
  m_stations = std::move(stations);
  return true;
}

void CLineFacts::TrimLatest() {
  // The latest are by the time they ended, whatever order the stations stored them in.
  std::stable_sort(m_latest.begin(), m_latest.end(), [](const LineRow& a, const LineRow& b) { return a.end > b.end; });
  if (m_latest.size() > kLatestKept) m_latest.resize(kLatestKept);
}

bool CLineFacts::Online(const StationBeat& beat, SystemTime now) const {
  return !beat.ended && beat.seen >= IsoUtc(now - kLiveOfflineAfter);
}

const CLineFacts::Tally& CLineFacts::TodayTally(SystemTime todayStart) const {
  const std::string since = HourOf(IsoUtc(todayStart));
  if (m_tally.lastId == m_lastId && m_tally.since == since) return m_tally;
  Tally t;
  t.lastId = m_lastId;
  t.since = since;
  for (auto h = m_hours.lower_bound(since); h != m_hours.end(); ++h)
    for (const auto& [key, n] : h->second) {
      const auto& [station, port, image, outcome] = key;
      const int64_t ok = Completed(outcome) ? n : 0;
      for (auto* c : {&t.all, &t.stations[station], &t.images[image], &t.ports[{station, port}]})
        c->first += n, c->second += ok;
      t.outcomes[outcome] += n;
    }
  m_tally = std::move(t);
  return m_tally;
}

json CLineFacts::Stations(SystemTime now, SystemTime todayStart) const {
  const Tally& tally = TodayTally(todayStart);
  const auto& byStation = tally.stations;
  const auto& byPort = tally.ports;
  std::set<std::string> names;
  for (const auto& b : m_stations) names.insert(b.station);
  for (const auto& p : m_ports) names.insert(p.station);
  for (const auto& [name, counts] : byStation) names.insert(name);

  std::map<std::string, std::vector<const LivePortRow*>> portsOf;
  for (const auto& p : m_ports) portsOf[p.station].push_back(&p);
  std::map<std::string, const StationBeat*> beats;
  for (const auto& b : m_stations) beats[b.station] = &b;
  const std::vector<const LivePortRow*> none;

  json out = json::array();
  for (const auto& name : names) {
    const auto found = beats.find(name);
    const StationBeat* beat = found == beats.end() ? nullptr : found->second;
    const bool online = beat && Online(*beat, now);
    json ports = json::array();
    const auto mine = portsOf.find(name);
    for (const LivePortRow* row : mine == portsOf.end() ? none : mine->second) {
      const LivePortRow& p = *row;
      const auto c = byPort.find({name, p.port});
      const auto counts = c == byPort.end() ? std::pair<int64_t, int64_t>{} : c->second;
      std::string state, words;
      if (!online) state = "offline", words = Tr("offline");
      else if (!p.present) state = "empty", words = Tr("no handset");
      else if (!p.phase.empty()) state = "busy", words = p.phase;
      else if (p.lastOutcome.empty()) state = "waiting", words = Tr("waiting");
      else if (Completed(p.lastOutcome)) state = "done", words = Tr("done");
      else state = "failed", words = OutcomeWords(p.lastOutcome);
      ports.push_back({{"port", p.port},
                       {"present", p.present},
                       {"phase", p.phase.empty() ? json(nullptr) : json(p.phase)},
                       {"percent", p.percent ? json(*p.percent) : json(nullptr)},
                       {"unit", p.unit.empty() ? json(nullptr) : json(p.unit)},
                       {"last_outcome", p.lastOutcome.empty() ? json(nullptr) : json(p.lastOutcome)},
                       {"last_outcome_words", p.lastOutcome.empty() ? json(nullptr) : json(OutcomeWords(p.lastOutcome))},
                       {"updated", p.updated},
                       {"state", state},
                       {"state_words", words},
                       {"today_total", counts.first},
                       {"today_completed", counts.second}});
    }
    const auto c = byStation.find(name);
    const auto counts = c == byStation.end() ? std::pair<int64_t, int64_t>{} : c->second;
    out.push_back({{"station", name},
                   {"online", online},
                   {"seen", beat ? json(beat->seen) : json(nullptr)},
                   {"ended", beat && beat->ended},
                   {"ports", std::move(ports)},
                   {"today", Counted(counts.first, counts.second)}});
  }
  return out;
}

json CLineFacts::Latest() const {
  json out = json::array();
  for (const auto& r : m_latest) out.push_back(RowJson(r));
  return out;
}

json CLineFacts::Failures(SystemTime now) const {
  const std::string since = IsoUtc(now - hours(1));
  json out = json::array();
  for (auto r = m_failures.rbegin(); r != m_failures.rend(); ++r)
    if (r->end >= since) out.push_back(RowJson(*r));
  return out;
}

json CLineFacts::Today(SystemTime todayStart, size_t ports) const {
  const Tally& t = TodayTally(todayStart);
  auto list = [](const auto& counts, auto name) {
    json out = json::array();
    for (const auto& [key, c] : counts) {
      json item = Counted(c.first, c.second);
      name(item, key);
      out.push_back(std::move(item));
    }
    return out;
  };
  json out = Counted(t.all.first, t.all.second);
  out["since"] = IsoUtc(todayStart);
  out["outcomes"] = t.outcomes;
  out["by_station"] = list(t.stations, [](json& j, const std::string& k) { j["station"] = k; });
  // All ports, or those that failed most (a worn cable shows there before it costs a shift).
  std::vector<std::pair<std::pair<std::string, std::string>, std::pair<int64_t, int64_t>>> byPort(t.ports.begin(), t.ports.end());
  if (ports < byPort.size()) {
    const auto failed = [](const auto& p) { return p.second.first - p.second.second; };
    std::stable_sort(byPort.begin(), byPort.end(), [&](const auto& a, const auto& b) { return failed(a) > failed(b); });
    byPort.resize(ports);
    byPort.erase(std::remove_if(byPort.begin(), byPort.end(), [&](const auto& p) { return failed(p) == 0; }), byPort.end());
  }
  out["by_port"] = list(byPort, [](json& j, const std::pair<std::string, std::string>& k) {
    j["station"] = k.first;
    j["port"] = k.second;
  });
  out["by_image"] = list(t.images, [](json& j, const std::string& k) { j["image"] = k; });
  return out;
}

json CLineFacts::Hours(SystemTime now) const {
  json out = json::array();
  const auto thisHour = time_point_cast<hours>(now);
  for (int i = kChartHours - 1; i >= 0; --i) {
    const std::string hour = HourOf(IsoUtc(thisHour - hours(i)));
    std::map<std::string, int64_t> outcomes;
    if (const auto h = m_hours.find(hour); h != m_hours.end())
      for (const auto& [key, n] : h->second) outcomes[std::get<3>(key)] += n;
    out.push_back({{"hour", HourIso(hour)}, {"outcomes", outcomes}});
  }
  return out;
}

json CLineFacts::Line(SystemTime now, SystemTime todayStart) const {
  return {{"now", IsoUtc(now)},
          {"offline_after_s", duration_cast<seconds>(kLiveOfflineAfter).count()},
          {"stations", Stations(now, todayStart)},
          {"latest", Latest()},
          {"failures", Failures(now)},
          {"today", Today(todayStart, kWorstPorts)},
          {"hours", Hours(now)}};
}

std::string CLineFacts::Metrics(SystemTime now) const {
  std::string out;
  auto family = [&](const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  out.reserve(64 * (m_downloads.size() + m_resends.size()) + 4096);
  const auto& label = Label;

  family("tarvisel_downloads_total", "counter", "Downloads recorded, by station, port, image and outcome.");
  for (const auto& [key, c] : m_downloads) out.append(c.series).append(std::to_string(c.n)).append("\n");
  family("tarvisel_resends_total", "counter", "Block and request resends of the recorded downloads, by station and port.");
  for (const auto& [key, c] : m_resends) out.append(c.series).append(std::to_string(c.n)).append("\n");
  family("tarvisel_download_duration_seconds", "histogram", "Time a download took from start to end, by station.");
  for (const auto& [station, d] : m_durations) {
    const std::string s = label("station", station);
    int64_t cumulative = 0;
    for (size_t i = 0; i < d.buckets.size(); ++i) {
      cumulative += d.buckets[i];
      out += "tarvisel_download_duration_seconds_bucket{" + s + ",le=\"" + Number(kDurationBounds[i]) + "\"} " +
             std::to_string(cumulative) + "\n";
    }
    out += "tarvisel_download_duration_seconds_bucket{" + s + ",le=\"+Inf\"} " + std::to_string(d.count) + "\n";
    out += "tarvisel_download_duration_seconds_sum{" + s + "} " + Number(d.sum) + "\n";
    out += "tarvisel_download_duration_seconds_count{" + s + "} " + std::to_string(d.count) + "\n";
  }
  std::map<std::string, int64_t> busy;
  int64_t online = 0;
  for (const auto& b : m_stations) {
    if (!Online(b, now)) continue;
    ++online;
    busy[b.station] = 0;
  }
  for (const auto& p : m_ports)
    if (busy.count(p.station) && !p.phase.empty()) ++busy[p.station];
  family("tarvisel_ports_busy", "gauge", "Ports of an online station with a download running now.");
  for (const auto& [station, n] : busy) out += "tarvisel_ports_busy{" + label("station", station) + "} " + std::to_string(n) + "\n";
  family("tarvisel_stations_online", "gauge", "Stations whose heartbeat is recent.");
  out += "tarvisel_stations_online " + std::to_string(online) + "\n";
  return out;
}
