#pragma once
// Modal message boxes: the text, caption, buttons and icon of the box; the answer comes back.
#include <string>

constexpr unsigned MB_OK = 0x0000;
constexpr unsigned MB_YESNO = 0x0004;
constexpr unsigned MB_ICONEXCLAMATION = 0x0030;
constexpr unsigned MB_ICONINFORMATION = 0x0040;
constexpr unsigned MB_SYSTEMMODAL = 0x1000;
constexpr unsigned MB_BUTTONS_MASK = 0x000F;
constexpr unsigned MB_ICON_MASK = 0x00F0;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

class CMessageBoxService {
 public:
  virtual ~CMessageBoxService() = default;
  // An empty caption stands for the application's name. Returns IDOK, IDYES, IDNO or IDCANCEL.
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
};
