#pragma once
// "Tarvisel Station": many handsets from the window. It only shows the station's rows
// (src/station) and hands the user's clicks to them; a timer pumps the handset processes.
#include <QColor>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "StationRunner.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QTextEdit;
class QDialog;
class QFrame;

// The dialogs the window opens, replaceable by tests. The version question is no dialog: it is
// asked in the window itself, and the rows go on while it waits.
struct StationDialogs {
  std::function<std::optional<QString>(QWidget*)> openImage;  // a *.bin file
  std::function<std::optional<QString>(QWidget*)> portPath;   // a port not in the folder
};
StationDialogs DefaultStationDialogs();

class CStationWindow : public QWidget {
  Q_OBJECT

 public:
  // The columns of the rows.
  enum Column { kCheck, kPort, kFacts, kProgress, kPhase, kResult, kTime, kAction, kUnit, kColumns };

  CStationWindow(StationRunnerSetup setup, StationDialogs dialogs = DefaultStationDialogs(), QWidget* parent = nullptr);
  ~CStationWindow() override;

  // Takes the image as Open would, without its file dialog. False when it is refused.
  bool TakeImage(const QString& path);
  // Reads the processes and the folder, and shows what changed (the timer's work).
  void Pump();

  // For tests and screenshots.
  CStationRunner& Runner() { return *m_runner; }
  QTreeWidget* Rows() const { return m_rows; }
  QTreeWidgetItem* ItemOf(const std::string& device) const;
  // The row's "Run again" button, shown on a failed row that is there.
  QPushButton* RunAgainButton(QTreeWidgetItem* item) const;
  QPushButton* RunButton() const { return m_run; }
  QPushButton* WatchButton() const { return m_watch; }
  QPushButton* StopButton() const { return m_stop; }
  QPushButton* AddButton() const { return m_add; }
  QPushButton* OpenButton() const { return m_open; }
  QComboBox* AnswerBox() const { return m_answer; }
  QComboBox* TypeBox() const { return m_type; }
  QComboBox* SpeedBox() const { return m_speed; }
  QLabel* ImageLabel() const { return m_imageInfo; }
  QLabel* CountsLabel() const { return m_counts; }
  QLabel* TodayLabel() const { return m_today; }
  // The version question in the window: hidden while none waits.
  QFrame* QuestionBar() const { return m_askBar; }
  QLabel* QuestionLabel() const { return m_askText; }
  QPushButton* YesToAllButton() const { return m_askYes; }
  QPushButton* NoToAllButton() const { return m_askNo; }
  // Where a barcode scanner types a unit (Enter gives it to a row).
  QLineEdit* ScanBox() const { return m_scan; }
  // The open log window of a row, if any.
  QTextEdit* LogViewOf(uint64_t id) const;
  void OpenLog(uint64_t id);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Build();
  void Show();
  void ShowRow(const StationRow& row, QTreeWidgetItem* item);
  void ShowLogs();
  void ShowQuestion();
  void OnAnswer(bool yesToAll);
  void ShowToday();
  void OnOpen();
  void OnAdd();
  void OnRun();
  void OnWatch();
  void OnStop();
  void OnScan();
  uint64_t IdOf(QTreeWidgetItem* item) const;

  StationDialogs m_dialogs;
  CUdevFacts m_facts;
  std::unique_ptr<CStationRunner> m_runner;
  QPushButton *m_open = nullptr, *m_add = nullptr, *m_run = nullptr, *m_watch = nullptr, *m_stop = nullptr;
  QComboBox *m_type = nullptr, *m_speed = nullptr, *m_answer = nullptr;
  QLabel *m_imageInfo = nullptr, *m_counts = nullptr, *m_today = nullptr, *m_note = nullptr;
  QFrame* m_askBar = nullptr;
  QLabel* m_askText = nullptr;
  QPushButton *m_askYes = nullptr, *m_askNo = nullptr;
  QTreeWidget* m_rows = nullptr;
  QLineEdit* m_scan = nullptr;
  QTimer* m_timer = nullptr;
  std::map<uint64_t, QTreeWidgetItem*> m_items;
  struct LogWindow {
    QDialog* dialog;
    QTextEdit* view;
    size_t shown;
    int download;  // the row's download whose log it shows
  };
  std::map<uint64_t, LogWindow> m_logs;
  bool m_imageOk = false;
  int32_t m_imageVersion = 0;
  int m_todayEvery = 0;
};

// What a row shows of its state besides its colour: a symbol and words ("✖ failed: no reply").
QString RowStateText(const StationRow& row);
// The row's tint, and the colour its bar ends in (none while it runs or has not run).
QColor RowTint(RowTone tone);
QColor BarColour(RowTone tone);

// Where tarvisel-cli is: $TARVISEL_CLI, else next to this program (installed), else in the
// build tree's src/cli, else on the PATH.
std::string FindCliProgram();
// The window's setup: that program, the folder of $TARVISEL_PORTS_DIR (default
// /dev/serial/by-id), the record in its default place, the shared record of $TARVISEL_RECORD.
StationRunnerSetup DefaultStationSetup();
