#pragma once
// The main window's widgets: the dialog template laid out in dialog units of the window font,
// addressed by control id for the engine (CDialogControls), and the user's clicks, selections
// and close requests handed to the window's services as commands.
#include <QDateTime>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DialogUnits.h"
#include "platform/DialogControls.h"

class CImageButton;
class CQtWindowServices;
class CTextProgressWidget;
class QComboBox;
class QLineEdit;
class QMenu;
class QProgressBar;
class QTextEdit;

// A serial port the Port list offers besides COM1 and COM2.
struct PortChoice {
  std::string path;     // what the link opens (a /dev/serial/by-id name where there is one)
  std::string label;    // what the list shows
  std::string leadsTo;  // its tip: the device it leads to, the adapter's maker and serial number
};

class CTarviselWindow : public QWidget, public CDialogControls {
  Q_OBJECT

 public:
  explicit CTarviselWindow(CQtWindowServices& services);
  ~CTarviselWindow() override;

  // Lets the close go through once the engine has stopped the link.
  void FinishClose();
  // The system-menu command: the About box for IDM_ABOUTBOX.
  void OnSysCommand(int command);
  void SetAboutRunner(std::function<void()> runAbout) { m_runAbout = std::move(runAbout); }
  // The context menu's "Tarvisel Station..." entry opens the station window this way.
  void SetStationOpener(std::function<void()> openStation) { m_openStation = std::move(openStation); }

  // CDialogControls
  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void Enable(int id, bool enabled) override;
  bool IsEnabled(int id) const override;
  void Show(int id, bool shown) override;
  bool IsShown(int id) const override;
  void SetComboItems(int id, const std::vector<std::string>& items) override;
  std::vector<std::string> GetComboItems(int id) const override;
  void SetComboSel(int id, int index) override;
  int GetComboSel(int id) const override;
  void AppendRichText(int id, const std::string& text, uint32_t colorBgr, bool bold) override;
  void ClearRichText(int id) override;
  void SetProgressRange(int id, int lower, int upper) override;
  void SetProgressPos(int id, int pos) override;
  void SetProgressText(int id, const std::string& text) override;
  void EnableProgressText(int id, bool on) override;

  // The log view's lines keep the time each was shown, for its menu's "Save log...": one line a
  // line of the log, "2026-12-09 05:53:01.123 " before it. now is the clock (tests set theirs);
  // askPath asks where to save (a file dialog; empty: not saved).
  void SetLogClock(std::function<QDateTime()> now) { m_now = std::move(now); }
  void SetSaveLogPathAsker(std::function<QString()> askPath) { m_askLogPath = std::move(askPath); }
  bool SaveLog(const QString& path) const;
  // The log view's context menu: its usual entries, then "Save log...".
  std::unique_ptr<QMenu> LogMenu();
  // Open's context menu (right-click on Open): the last images, newest first; choosing one
  // opens it as Open would.
  void SetRecentImages(std::function<std::vector<std::string>()> list, std::function<void(const std::string&)> open) {
    m_recentImages = std::move(list);
    m_openRecent = std::move(open);
  }
  std::unique_ptr<QMenu> OpenMenu();

  // The Port list: COM1 and COM2 as the engine sets them, then these. A device chosen is the
  // link's (onChosen tells the owner; empty for COM1/COM2), while the engine keeps its COM
  // index. Each item's tip says where it leads.
  void SetPortChoices(std::vector<PortChoice> choices);
  void SetOnPortDevice(std::function<void(const std::string&)> onChosen) { m_onPortDevice = std::move(onChosen); }
  void SelectPortDevice(const std::string& path);
  const std::string& PortDevice() const { return m_portDevice; }
  void SetComTips(std::vector<std::string> tips) { m_comTips = std::move(tips); }

  // For tests and screenshots.
  QWidget* Control(int id) const;
  QTextEdit* LogView() const { return m_log; }
  CTextProgressWidget* TextProgress() const { return m_progress; }
  QProgressBar* IdleProgress() const { return m_progressIdle; }
  const DialogUnitScale& Scale() const { return m_scale; }
  int PaintsWhilePaused() const { return m_paintsWhilePaused; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Build();
  void SaveLogAs();
  void FillPortChoices();
  void ShowPortSelection();

  CQtWindowServices& m_services;
  DialogUnitScale m_scale;
  std::map<int, QWidget*> m_controls;
  std::map<int, QLineEdit*> m_edits;
  std::map<int, QComboBox*> m_combos;
  QTextEdit* m_log = nullptr;
  CTextProgressWidget* m_progress = nullptr;
  QProgressBar* m_progressIdle = nullptr;
  std::function<void()> m_runAbout;
  std::function<void()> m_openStation;
  std::vector<std::pair<QDateTime, QString>> m_logLines;
  std::function<QDateTime()> m_now;
  std::function<QString()> m_askLogPath;
  std::function<std::vector<std::string>()> m_recentImages;
  std::function<void(const std::string&)> m_openRecent;
  std::vector<PortChoice> m_portChoices;
  std::vector<std::string> m_comTips;  // where COM1 and COM2 lead
  std::string m_portDevice;
  int m_comIndex = -1;  // the engine's selection, kept while a device is chosen
  size_t m_comCount = 0;
  std::function<void(const std::string&)> m_onPortDevice;
  bool m_closeAllowed = false;
  bool m_inCloseEvent = false;
  int m_paintsWhilePaused = 0;
};
