#pragma once
// The station window's logic, without Qt: one row per port (the ports of a watched folder as
// they come and go, and paths added by hand), what Run, Watch, Stop and Run again start, each
// handset process's events taken into its row, the version question asked once for all, and
// the counts of the session. The driver (StationRunner) starts the processes the model asks
// for and feeds it their lines and ends; a test feeds them itself.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "StationView.h"  // HandsetStatus, ApplyEvent

// How the version question (and the odd start address) is answered: asked once for all when a
// handset first needs it, or answered beforehand.
enum class StationAnswer { Ask, Yes, No };

enum class RowTone { Plain, Running, Waiting, Completed, Failed };

struct StationLogEntry {
  std::string stamp;  // local wall-clock time when it happened, "2026-12-09 09:15:02.125"
  std::string kind;   // the "log" event's kind: info, step, error, message, alert, note, warning, result
  std::string text;
};

struct StationRow {
  uint64_t id = 0;
  std::string device;  // the path handed to --device
  std::string facts;   // what is known of its adapter and tty, in a few words
  bool checked = true;
  bool present = true;
  bool byHand = false;          // added by path, not found in the folder
  bool running = false;         // its handset's process is running
  bool ran = false;             // it has had a download since it appeared
  bool awaitingAnswer = false;  // declined while the question is still to be asked
  bool startPending = false;    // the driver is to start its process
  bool nextWaiting = false;     // watch: plugged in again while its last download still ran
  bool unpluggedDuring = false;
  double startT = 0;          // on the driver's clock, when its process started
  // The wall clock at its process's start: an event's "t" counts from there (the log's times are
  // the handset's, not when the window got round to reading them). Unset: stamped as read.
  std::optional<std::chrono::system_clock::time_point> processWall;
  int downloads = 0;          // started on this row: a new one has a new log
  std::string question;       // the question its handset answered No to, when it declined
  std::optional<int64_t> revision;  // the handset's software version (what the image's is compared with)
  HandsetStatus status;
  std::vector<StationLogEntry> log;

  // 0 to 100: the blocks acknowledged of the programming phase (100 once completed; where it
  // stopped when it failed).
  int Percent() const;
  // The phase, or what the port is doing: "ready", "unplugged", "programming" ...; "done" after a
  // completed download, the phase it failed in after a failed one.
  std::string PhaseText() const;
  // "completed", "failed: no reply", "" while nothing has ended.
  std::string ResultText() const;
  RowTone Tone() const;
  bool Failed() const;
  // Seconds of its download: as it said at its end, else since its start (now on the driver's clock).
  double Elapsed(double now) const;
};

// An outcome name of "finished" in a few words that fit a row: "no-reply" -> "no reply".
std::string OutcomeInWords(const std::string& outcome);
// The outcome names a handset's process may end with (the longest words a row must fit).
const std::vector<std::string>& KnownOutcomes();
// "2026-12-09 09:15:02.125", local time.
std::string StampAt(std::chrono::system_clock::time_point at);

// The version question while it waits for the user: its text and the handset that asked first.
struct StationQuestion {
  std::string text;
  uint64_t id = 0;
  std::string device;
  std::string handsetSw;  // the handset's S/W text, as it told
  std::optional<int64_t> handsetVersion;  // its software version, compared with the image's
  int waiting = 0;        // handsets waiting for the answer, that one included
};

struct StationCounts {
  int completed = 0;
  int failed = 0;
  int running = 0;
  bool operator==(const StationCounts&) const = default;
};

class CStationModel {
 public:
  // Ports of the watched folder.
  uint64_t PortAppeared(const std::string& device, const std::string& facts);
  void PortGone(const std::string& device);
  // A port that is not in the folder (a pty, a plain UART): it stays until removed.
  uint64_t AddPath(const std::string& device, const std::string& facts = {});
  void Remove(uint64_t id);  // only a row whose process is not running
  void SetChecked(uint64_t id, bool checked);

  // Run: every checked port that is there and not busy gets a download. False when none did.
  bool Run();
  // Watch: as Run now, then each port as it appears (a handset plugged in) while watching.
  void Watch();
  // Stop: no new downloads; the caller tells the running handsets to stop (a handset that
  // erases or programs finishes, as in the main window).
  void Stop();
  bool Watching() const { return m_watching; }
  bool RunAgain(uint64_t id);  // a failed row that is there and not busy

  // The rows whose handset process is to start now, each marked running; the answer to pass.
  std::vector<uint64_t> TakeStarts(double now);
  StationAnswer AnswerToPass() const { return m_answer == StationAnswer::Yes ? StationAnswer::Yes : StationAnswer::No; }

  // One line of the handset's standard output. wallStamp: the local time for its log when the
  // row knows no start of its process (processWall), or the line carries no "t".
  void Line(uint64_t id, const std::string& line, const std::string& wallStamp);
  void SetProcessWall(uint64_t id, std::chrono::system_clock::time_point at);
  // A line of the driver's own for the row's log (a process that could not start, its last words).
  void Note(uint64_t id, const std::string& kind, const std::string& text, const std::string& wallStamp);
  // The process has ended and its pipes are read; without a "finished" of its own, the driver
  // passes the one it made (ConcludeHandset's) through Line first.
  void Ended(uint64_t id);

  // The version question: set beforehand, or asked once when a handset first declined under Ask.
  void SetAnswer(StationAnswer answer) { m_answer = answer; }
  StationAnswer Answer() const { return m_answer; }
  // The text of the question to ask now (once for all), if one waits.
  std::optional<std::string> PendingQuestion() const;
  // The same with the handset that asked it.
  std::optional<StationQuestion> Question() const;
  // Yes to all: every handset that declined waiting for it downloads again with Yes, and so do
  // the rest of the session's; No: they stay declined (failed), and so do the rest.
  void AnswerQuestion(bool yesToAll);

  const std::vector<StationRow>& Rows() const { return m_rows; }
  const StationRow* Find(uint64_t id) const;
  const StationRow* FindDevice(const std::string& device) const;
  StationCounts Counts() const;
  // Something changed since the last call (the view redraws).
  bool TakeChanged();

 private:
  StationRow* Get(uint64_t id);
  StationRow* GetDevice(const std::string& device);
  bool Startable(const StationRow& row) const;
  void QueueStart(StationRow& row);
  void Finished(StationRow& row);

  std::vector<StationRow> m_rows;
  uint64_t m_nextId = 1;
  bool m_watching = false;
  StationAnswer m_answer = StationAnswer::Ask;
  std::optional<std::string> m_question;  // the first declined handset's question, while Ask
  int m_completed = 0, m_failed = 0;
  bool m_changed = true;
};
