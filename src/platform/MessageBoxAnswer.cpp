#include "platform/MessageBoxAnswer.h"

#include "platform/MessageBox.h"

namespace {
// The button sets of the platform beyond the two this program uses.
constexpr unsigned kOkCancel = 0x0001;
constexpr unsigned kAbortRetryIgnore = 0x0002;
constexpr unsigned kYesNoCancel = 0x0003;
constexpr unsigned kRetryCancel = 0x0005;
constexpr int kAbort = 3, kRetry = 4, kIgnore = 5;
}  // namespace

bool IsPossibleAnswer(unsigned type, int answer) {
  switch (type & MB_BUTTONS_MASK) {
    case MB_OK: return answer == IDOK;
    case kOkCancel: return answer == IDOK || answer == IDCANCEL;
    case kAbortRetryIgnore: return answer == kAbort || answer == kRetry || answer == kIgnore;
    case kYesNoCancel: return answer == IDYES || answer == IDNO || answer == IDCANCEL;
    case MB_YESNO: return answer == IDYES || answer == IDNO;
    case kRetryCancel: return answer == kRetry || answer == IDCANCEL;
    default: return false;
  }
}

int SafeAnswer(unsigned type) {
  switch (type & MB_BUTTONS_MASK) {
    case MB_YESNO: return IDNO;
    case kOkCancel:
    case kYesNoCancel:
    case kRetryCancel: return IDCANCEL;
    case kAbortRetryIgnore: return kAbort;
    default: return IDOK;
  }
}

std::string AnswerName(int answer) {
  switch (answer) {
    case IDOK: return "IDOK";
    case IDCANCEL: return "IDCANCEL";
    case kAbort: return "IDABORT";
    case kRetry: return "IDRETRY";
    case kIgnore: return "IDIGNORE";
    case IDYES: return "IDYES";
    case IDNO: return "IDNO";
    default: return std::to_string(answer);
  }
}
