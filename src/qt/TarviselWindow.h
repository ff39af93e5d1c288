#pragma once
// The main window's widgets: the dialog template laid out in dialog units of the window font,
// addressed by control id for the engine (CDialogControls), and the user's clicks, selections
// and close requests handed to the window's services as commands.
#include <QWidget>
#include <functional>
#include <map>

#include "DialogUnits.h"
#include "platform/DialogControls.h"

class CImageButton;
class CQtWindowServices;
class CTextProgressWidget;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QTextEdit;

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
  bool m_closeAllowed = false;
  bool m_inCloseEvent = false;
  int m_paintsWhilePaused = 0;
};
