#include "StationModel.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include <nlohmann/json.hpp>

#include "platform/Translate.h"

using json = nlohmann::ordered_json;

namespace {

constexpr const char* kCompleted = "completed";
constexpr const char* kDeclined = "declined";

// The question a handset's process answered No to: its box's text before the answer.
std::optional<std::string> DeclinedQuestion(const std::string& text) {
  const size_t at = text.rfind(" -> No");
  if (at == std::string::npos) return std::nullopt;
  return text.substr(0, at);
}

}  // namespace

namespace {

// Short enough for a row: the key word first, nothing a narrow column would cut.
const std::vector<std::pair<std::string, const char*>>& OutcomeWords() {
  static const std::vector<std::pair<std::string, const char*>> words = {
      {"completed", TrLater("completed")},
      {"no-reply", TrLater("no reply")},
      {"handset-refused", TrLater("handset refused")},
      {"out-of-step", TrLater("out of step")},
      {"timeout", TrLater("timed out")},
      {"refused", TrLater("image refused")},
      {"read-error", TrLater("image unreadable")},
      {"declined", TrLater("declined")},
      {"port", TrLater("port not opened")},
      {"line-broke", TrLater("line broke")},
      {"stopped", TrLater("stopped")},
      {"interrupted", TrLater("interrupted")},
      {"usage", TrLater("usage error")},
      {"crashed", TrLater("crashed")},
  };
  return words;
}

}  // namespace

std::string OutcomeInWords(const std::string& outcome) {
  for (const auto& [name, words] : OutcomeWords())
    if (name == outcome) return Tr(words);
  std::string text = outcome;
  std::replace(text.begin(), text.end(), '-', ' ');
  return text;
}

const std::vector<std::string>& KnownOutcomes() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const auto& [name, words] : OutcomeWords()) v.push_back(name);
    return v;
  }();
  return names;
}

std::string StampAt(std::chrono::system_clock::time_point at) {
  const std::time_t t = std::chrono::system_clock::to_time_t(at);
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}

int StationRow::Percent() const {
  if (status.outcome == kCompleted) return 100;
  // Progress comes only while programming; after it (or a failure) the bar stays where it got.
  if (!status.progress || status.progress->blocks <= 0) return 0;
  return static_cast<int>(static_cast<long long>(status.progress->block) * 100 / status.progress->blocks);
}

std::string StationRow::PhaseText() const {
  if (!present && !running) return Tr("unplugged");
  if (awaitingAnswer) return Tr("question");
  if (startPending) return Tr("starting");
  if (running) {
    std::string phase = status.phase.empty() ? Tr("starting") : status.phase;
    return present ? phase : phase + Tr("; unplugged");
  }
  if (!ran) return Tr("ready");
  if (status.outcome == kCompleted) return Tr("done");
  return status.phase.empty() ? Tr("starting") : status.phase;
}

std::string StationRow::ResultText() const {
  if (!ran || running || startPending || awaitingAnswer) return "";
  if (!status.Finished()) return TrFormat("failed: %s", Tr("no result"));
  if (*status.outcome == kCompleted) return Tr("completed");
  return TrFormat("failed: %s", OutcomeInWords(*status.outcome).c_str());
}

bool StationRow::Failed() const {
  return ran && !running && !startPending && !awaitingAnswer && status.outcome != kCompleted;
}

RowTone StationRow::Tone() const {
  if (running || startPending) return RowTone::Running;
  if (awaitingAnswer) return RowTone::Waiting;
  if (!ran) return RowTone::Plain;
  return status.outcome == kCompleted ? RowTone::Completed : RowTone::Failed;
}

double StationRow::Elapsed(double now) const {
  if (status.Finished()) return status.elapsedS;
  if (running) return std::max(0.0, now - startT);
  return 0;
}

StationRow* CStationModel::Get(uint64_t id) {
  for (auto& r : m_rows)
    if (r.id == id) return &r;
  return nullptr;
}

StationRow* CStationModel::GetDevice(const std::string& device) {
  for (auto& r : m_rows)
    if (r.device == device) return &r;
  return nullptr;
}

const StationRow* CStationModel::Find(uint64_t id) const { return const_cast<CStationModel*>(this)->Get(id); }
const StationRow* CStationModel::FindDevice(const std::string& device) const {
  return const_cast<CStationModel*>(this)->GetDevice(device);
}

bool CStationModel::TakeChanged() {
  const bool changed = m_changed;
  m_changed = false;
  return changed;
}

bool CStationModel::Startable(const StationRow& r) const {
  return r.present && !r.running && !r.startPending && !r.awaitingAnswer;
}

void CStationModel::QueueStart(StationRow& r) {
  r.startPending = true;
  r.nextWaiting = false;
  m_changed = true;
}

uint64_t CStationModel::PortAppeared(const std::string& device, const std::string& facts) {
  m_changed = true;
  StationRow* r = GetDevice(device);
  if (!r) {
    StationRow row;
    row.id = m_nextId++;
    row.device = device;
    m_rows.push_back(std::move(row));
    r = &m_rows.back();
  }
  if (!facts.empty()) r->facts = facts;
  const bool back = !r->present;
  r->present = true;
  if (r->running) {
    // One handset per port at a time: a new one plugged in waits for the last one's end.
    if (back && m_watching) r->nextWaiting = true;
    return r->id;
  }
  if (back && !r->awaitingAnswer) {
    // A new handset: the last one's result and log went with it.
    r->ran = false;
    r->status = HandsetStatus{};
    r->status.device = device;
    r->log.clear();
  }
  if (m_watching && r->checked && Startable(*r)) QueueStart(*r);
  return r->id;
}

void CStationModel::PortGone(const std::string& device) {
  StationRow* r = GetDevice(device);
  if (!r) return;
  m_changed = true;
  r->present = false;
  r->startPending = false;
  r->nextWaiting = false;
  if (r->running) {
    r->unpluggedDuring = true;
    return;
  }
  if (r->awaitingAnswer) {
    // Its handset went before the question was answered: it stays declined.
    r->awaitingAnswer = false;
    ++m_failed;
  }
  // A port that never had a download leaves no row behind.
  if (!r->ran && !r->byHand) Remove(r->id);
}

uint64_t CStationModel::AddPath(const std::string& device, const std::string& facts) {
  const uint64_t id = PortAppeared(device, facts);
  Get(id)->byHand = true;
  return id;
}

void CStationModel::Remove(uint64_t id) {
  const auto it = std::find_if(m_rows.begin(), m_rows.end(), [&](const StationRow& r) { return r.id == id; });
  if (it == m_rows.end() || it->running) return;
  if (it->awaitingAnswer) ++m_failed;
  m_rows.erase(it);
  m_changed = true;
}

void CStationModel::SetChecked(uint64_t id, bool checked) {
  if (StationRow* r = Get(id)) {
    r->checked = checked;
    m_changed = true;
  }
}

bool CStationModel::Run() {
  bool any = false;
  for (auto& r : m_rows)
    if (r.checked && Startable(r)) {
      QueueStart(r);
      any = true;
    }
  return any;
}

void CStationModel::Watch() {
  m_watching = true;
  m_changed = true;
  // The handsets there already are flashed too; a port flashed already waits for its next one.
  for (auto& r : m_rows)
    if (r.checked && Startable(r) && !r.ran) QueueStart(r);
}

void CStationModel::Stop() {
  m_watching = false;
  m_changed = true;
  for (auto& r : m_rows) {
    r.startPending = false;
    r.nextWaiting = false;
  }
}

bool CStationModel::RunAgain(uint64_t id) {
  StationRow* r = Get(id);
  if (!r || !r->Failed() || !Startable(*r)) return false;
  QueueStart(*r);
  return true;
}

std::vector<uint64_t> CStationModel::TakeStarts(double now) {
  std::vector<uint64_t> ids;
  for (auto& r : m_rows) {
    if (!r.startPending) continue;
    r.startPending = false;
    r.running = true;
    r.ran = true;
    r.unpluggedDuring = false;
    r.startT = now;
    ++r.downloads;
    r.question.clear();
    r.processWall.reset();
    r.revision.reset();
    r.status = HandsetStatus{};
    r.status.device = r.device;
    r.log.clear();
    ids.push_back(r.id);
  }
  if (!ids.empty()) m_changed = true;
  return ids;
}

void CStationModel::SetProcessWall(uint64_t id, std::chrono::system_clock::time_point at) {
  if (StationRow* r = Get(id)) r->processWall = at;
}

void CStationModel::Line(uint64_t id, const std::string& line, const std::string& wallStamp) {
  StationRow* r = Get(id);
  if (!r) return;
  const json e = json::parse(line, nullptr, false);
  if (e.is_discarded() || !ApplyEvent(r->status, e)) {
    r->log.push_back({wallStamp, "error", "not an event of the handset's process: " + line.substr(0, 200)});
    m_changed = true;
    return;
  }
  m_changed = true;
  const std::string event = e.value("event", "");
  if (event == "phone") {
    if (const auto rev = e.find("revision"); rev != e.end() && rev->is_number_integer()) r->revision = rev->get<int64_t>();
    return;
  }
  if (event != "log") return;
  std::string stamp = wallStamp;
  // A "t" no process could have written (negative, or beyond months) is stamped as read.
  constexpr double kLongestRunS = 1e7;
  if (const auto t = e.find("t");
      r->processWall && t != e.end() && t->is_number() && t->get<double>() >= 0 && t->get<double>() < kLongestRunS)
    stamp = StampAt(*r->processWall +
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(t->get<double>())));
  StationLogEntry entry{std::move(stamp), e.value("kind", ""), e.value("text", "")};
  if (entry.kind == "message" || entry.kind == "alert")
    if (const auto q = DeclinedQuestion(entry.text)) r->question = *q;
  r->log.push_back(std::move(entry));
}

void CStationModel::Note(uint64_t id, const std::string& kind, const std::string& text, const std::string& wallStamp) {
  if (StationRow* r = Get(id)) {
    r->log.push_back({wallStamp, kind, text});
    m_changed = true;
  }
}

void CStationModel::Ended(uint64_t id) {
  StationRow* r = Get(id);
  if (!r || !r->running) return;
  m_changed = true;
  r->running = false;
  Finished(*r);
  if (r->nextWaiting && r->present && m_watching) QueueStart(*r);
  r->nextWaiting = false;
}

void CStationModel::Finished(StationRow& r) {
  if (r.status.outcome == kCompleted) {
    ++m_completed;
    return;
  }
  if (r.status.outcome == kDeclined && m_answer == StationAnswer::Ask && r.present) {
    // Not a failure yet: the question is asked once for all, and Yes runs it again.
    r.awaitingAnswer = true;
    if (!m_question) m_question = r.question.empty() ? std::string(Tr("S/W version is different. Downloading continue?")) : r.question;
    return;
  }
  ++m_failed;
}

std::optional<std::string> CStationModel::PendingQuestion() const {
  if (m_answer != StationAnswer::Ask) return std::nullopt;
  return m_question;
}

std::optional<StationQuestion> CStationModel::Question() const {
  const auto text = PendingQuestion();
  if (!text) return std::nullopt;
  StationQuestion q;
  q.text = *text;
  for (const auto& r : m_rows) {
    if (!r.awaitingAnswer) continue;
    if (q.waiting++ == 0) {
      q.id = r.id;
      q.device = r.device;
      q.handsetSw = r.status.sw;
      q.handsetVersion = r.revision;
    }
  }
  return q;
}

void CStationModel::AnswerQuestion(bool yesToAll) {
  m_answer = yesToAll ? StationAnswer::Yes : StationAnswer::No;
  m_question.reset();
  m_changed = true;
  for (auto& r : m_rows) {
    if (!r.awaitingAnswer) continue;
    r.awaitingAnswer = false;
    if (yesToAll && r.present) QueueStart(r);
    else ++m_failed;
  }
}

StationCounts CStationModel::Counts() const {
  StationCounts c{m_completed, m_failed, 0};
  for (const auto& r : m_rows)
    if (r.running) ++c.running;
  return c;
}
