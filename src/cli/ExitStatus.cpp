#include "ExitStatus.h"

#include "platform/MessageBox.h"

namespace {
bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }
}  // namespace

std::optional<int> StatusOfMessageBox(const std::string& text, unsigned type, int answer) {
  if ((type & MB_BUTTONS_MASK) == MB_YESNO) {
    if (answer == IDNO || answer == IDCANCEL) return kExitDeclined;
    return std::nullopt;
  }
  if (text == "Downloading completed") return kExitOk;
  if (StartsWith(text, "Can't open COM Port") || StartsWith(text, "Can't start Downloader")) return kExitPort;
  // Every other notice of the window is a refusal of the image, its range or a block of it.
  return kExitRefused;
}

std::optional<int> StatusOfLogLine(const std::string& text) {
  if (text == "응답이 없습니다.") return kExitNoReply;
  return std::nullopt;
}

std::string DescribeExitStatus(int status) {
  switch (status) {
    case kExitOk:
      return "completed";
    case kExitNoReply:
      return "no reply from the handset";
    case kExitUsage:
      return "usage error";
    case kExitRefused:
      return "image or range refused";
    case kExitDeclined:
      return "declined";
    case kExitPort:
      return "the port could not be opened or the line broke";
    case kExitInterrupted:
      return "interrupted";
    default:
      return "failed";
  }
}
