#pragma once
// What the engine reports to its front-ends, in types: the window shows its boxes and log
// lines itself, and a front-end (the command line, a station, a machine-readable stream) decides
// from these, never from the texts. Injected beside the window services; every call comes on the
// window's thread, in the order things happen. A command reports Started once and Finished
// once, Finished last.
#include <cstdint>
#include <string>

enum class EngineCommand { Download, Info, ToDm };

// Where a command is: each phase is entered once its first request goes out.
enum class EnginePhase {
  Version,       // the handset's version, in DM mode
  DmOffline,     // switching to DM offline
  DownloadMode,  // switching to download mode
  Module,        // download start, module copy, speed, jump, start again
  Erase,         // the flash range is being erased
  Programming,   // block writes
  Jump,          // the final jump
  ToDm,          // the ToDM sequence at 9600 bit/s
  Info,          // Info: the handset's version, for the phone information alone
};

// How a command ended.
enum class Outcome {
  Completed,   // what was asked was done ("Downloading completed", phone information read, ToDM)
  NoReply,     // the handset stopped answering ("응답이 없습니다.")
  HandsetRefused,  // the handset refused a request every time it went (NAKs)
  Refused,     // the image or its range was refused; nothing was sent
  Declined,    // the version question was answered No, or the font dialog was cancelled
  PortFailed,  // the port could not be opened
  LineBroke,   // the port reported a break or went away
  Stopped,     // Stop, or closing the window, ended it
  ReadError,   // a block could not be read from the image in the middle of the download
  OutOfStep,   // replies no longer matched requests: the download cannot be trusted
};

const char* OutcomeName(Outcome outcome);  // "completed", "no-reply", ...
const char* PhaseName(EnginePhase phase);  // "version", "dm-offline", ...
const char* CommandName(EngineCommand command);

// After each acknowledged block (and 0 of n when programming starts or starts over).
struct BlockProgress {
  int block = 0;         // blocks acknowledged
  int blocks = 0;        // blocks in all
  uint32_t address = 0;  // flash address of the block last acknowledged (start address at 0)
  uint64_t bytes = 0;    // image bytes acknowledged
};

struct PhoneInfo {
  std::string swVersion;  // as the window shows them (UTF-8)
  std::string compiled;
  std::string pcbVersion;
  uint32_t revision = 0;
};

// Why a request went to the handset again.
enum class ResendCause {
  NoReply,   // its reply time ran out
  Refused,   // the handset answered with an error (a NAK): it waits for the request again
};

struct ResendInfo {
  EnginePhase phase = EnginePhase::Module;
  ResendCause cause = ResendCause::NoReply;
  int send = 2;           // this request's sends so far, this one included
  uint32_t address = 0;   // of a block write, its flash address
};

// What became of an image the user opened.
enum class ImageStatus {
  Accepted,  // checked (a font is only read)
  Refused,   // not an image, unreadable, damaged, or a bad version
  Declined,  // the odd start address was not accepted
};

struct ImageInfo {
  ImageStatus status = ImageStatus::Refused;
  std::string path;
  uint32_t size = 0;
  uint32_t version = 0;
};

// The colour a log line is shown in: blue news, red errors, black steps.
enum class LogTone { Info, Error, Step };

class CEngineEvents {
 public:
  virtual ~CEngineEvents() = default;
  virtual void OnImageOpened(const ImageInfo& /*image*/) {}
  virtual void OnStarted(EngineCommand /*command*/) {}
  virtual void OnPhase(EnginePhase /*phase*/) {}
  virtual void OnProgress(const BlockProgress& /*progress*/) {}
  // Each time the request in hand goes again (not the erase-and-restart of programming, which
  // is a phase of its own).
  virtual void OnResend(const ResendInfo& /*resend*/) {}
  virtual void OnPhoneInfo(const PhoneInfo& /*info*/) {}
  // Each line as the log view shows it, without the line break that starts it.
  virtual void OnLog(LogTone /*tone*/, const std::string& /*text*/) {}
  // The elapsed time of flash programming, when the last block was acknowledged.
  virtual void OnProgrammed(uint64_t /*elapsedMs*/) {}
  virtual void OnFinished(EngineCommand /*command*/, Outcome /*outcome*/) {}
  // The link could not be started (at start-up too, with no command in progress).
  virtual void OnPortError(const std::string& /*why*/) {}
};
