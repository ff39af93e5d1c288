#include "MainWindowLayout.h"

#include <QtGlobal>

#include "ControlIds.h"

const std::vector<ControlSpec>& MainWindowControls() {
  using K = ControlKind;
  // In the template's order, which is also the tab order.
  static const std::vector<ControlSpec> controls = {
      {IDC_OPEN, K::ImageButton, "Open", 193, 8, 14, 17},
      {IDC_RUN, K::ImageButton, "Run", 207, 8, 14, 17},
      {IDC_TODM, K::ImageButton, "ToDM", 221, 8, 14, 17},
      {IDC_INFO, K::ImageButton, "Info", 235, 8, 14, 17},
      {IDC_STOP, K::ImageButton, "Stop", 249, 8, 14, 17},
      {0, K::GroupBox, QT_TRANSLATE_NOOP("MainWindow", "File Information"), 7, 4, 179, 52},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "Bin   :"), 11, 20, 20, 8},
      {IDC_BIN_PATH, K::Edit, "", 32, 16, 146, 14},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "Size :"), 11, 35, 20, 8},
      {IDC_SIZE, K::RightEdit, "", 32, 33, 44, 14},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "byte"), 78, 36, 15, 8},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "Version :"), 103, 35, 31, 8},
      {IDC_FILE_VERSION, K::RightEdit, "", 134, 33, 44, 14},
      {0, K::GroupBox, QT_TRANSLATE_NOOP("MainWindow", "Phone Information"), 7, 60, 179, 63},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "S/W version :"), 11, 74, 45, 8},
      {IDC_SW_VERSION, K::Edit, "", 61, 70, 117, 14},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "Compiled     :"), 11, 89, 46, 8},
      {IDC_COMPILED, K::Edit, "", 61, 87, 117, 14},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "PCB version :"), 11, 106, 46, 8},
      {IDC_PCB_VERSION, K::Edit, "", 61, 104, 117, 14},
      {0, K::GroupBox, QT_TRANSLATE_NOOP("MainWindow", "&Setting"), 194, 30, 69, 93},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "Port :"), 198, 42, 18, 8},
      {IDC_PORT, K::Combo, "", 197, 52, 64, 42},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "Speed :"), 197, 69, 64, 10},
      {IDC_SPEED, K::Combo, "", 197, 79, 64, 33},
      {0, K::Label, QT_TRANSLATE_NOOP("MainWindow", "Down load Type :"), 197, 96, 64, 9},
      {IDC_TYPE, K::Combo, "", 197, 105, 64, 68},
      {IDC_PROGRESS, K::TextProgress, "Progress1", 7, 125, 256, 14},
      {IDC_PROGRESS_IDLE, K::Progress, "", 7, 125, 256, 14},
      {IDC_LOG, K::RichEdit, "", 7, 140, 256, 125},
      {IDC_STATUS, K::Edit, "", 7, 266, 211, 14},
      {IDC_SPARE, K::Edit, "", 218, 266, 45, 14},
      {1, K::HiddenButton, QT_TRANSLATE_NOOP("MainWindow", "OK"), 241, 266, 22, 14},
      {2, K::HiddenButton, QT_TRANSLATE_NOOP("MainWindow", "Cancel"), 221, 266, 22, 14},
  };
  return controls;
}

const char* ToolTipText(int id) {
  switch (id) {
    case IDC_OPEN:
      return QT_TRANSLATE_NOOP("MainWindow", "BIN 파일 열기");
    case IDC_RUN:
      return QT_TRANSLATE_NOOP("MainWindow", "다운로딩 시작");
    case IDC_STOP:
      return QT_TRANSLATE_NOOP("MainWindow", "다운로딩 취소");
    case IDC_INFO:
      return QT_TRANSLATE_NOOP("MainWindow", "DM상태에서 단말기 정보 읽어옴");
    case IDC_TODM:
      return QT_TRANSLATE_NOOP("MainWindow", "단말기 SIO를 DM으로..");
    default:
      return "";
  }
}
