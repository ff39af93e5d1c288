#include "TarviselWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>
#include <algorithm>

#include "ControlIds.h"
#include "ImageButton.h"
#include "Images.h"
#include "MainWindowLayout.h"
#include "QtWindowServices.h"
#include "TextProgressWidget.h"
#include "platform/WindowServices.h"

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

QColor FromBgr(uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

}  // namespace

CTarviselWindow::CTarviselWindow(CQtWindowServices& services)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_services(services) {
  setObjectName(QStringLiteral("TarviselDlg"));
  setWindowTitle(QStringLiteral("Tarvisel"));
  setWindowIcon(ApplicationIcon());
  setFont(DialogFont(QStringLiteral("굴림"), 9));
  m_scale = ScaleOf(font());
  Build();
  setFixedSize(DialogX(m_scale, kMainWindowWidthDu), DialogY(m_scale, kMainWindowHeightDu));
}

CTarviselWindow::~CTarviselWindow() = default;

void CTarviselWindow::Build() {
  for (const ControlSpec& control : MainWindowControls()) {
    const QRect rect = DialogRect(m_scale, control.x, control.y, control.width, control.height);
    const QString text = QString::fromUtf8(control.text);
    QWidget* widget = nullptr;
    switch (control.kind) {
      case ControlKind::ImageButton: {
        auto* button = new CImageButton(text, this);
        button->move(rect.topLeft());  // the button takes the size of its up image
        const int id = control.id;
        connect(button, &QAbstractButton::clicked, this, [this, id] {
          if (id == IDC_STOP && m_services.IsPaused()) m_services.StopDuringPause();
          m_services.SendCommand(id, BN_CLICKED);
        });
        if (id == IDC_STOP) m_services.SetStopButton(button);
        widget = button;
        break;
      }
      case ControlKind::GroupBox: {
        auto* box = new QGroupBox(text, this);
        box->setGeometry(rect);
        box->lower();
        widget = box;
        break;
      }
      case ControlKind::Label: {
        auto* label = new QLabel(text, this);
        label->setGeometry(rect);
        label->setTextFormat(Qt::PlainText);
        widget = label;
        break;
      }
      case ControlKind::Edit:
      case ControlKind::RightEdit: {
        auto* edit = new QLineEdit(this);
        edit->setGeometry(rect);
        edit->setReadOnly(true);
        if (control.kind == ControlKind::RightEdit) edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        m_edits[control.id] = edit;
        widget = edit;
        break;
      }
      case ControlKind::Combo: {
        auto* combo = new QComboBox(this);
        // The template's height is that of the dropped list; the closed box is one line high.
        combo->setGeometry(rect.x(), rect.y(), rect.width(), DialogY(m_scale, 12));
        combo->setMaxVisibleItems(std::max(1, (control.height - 12) / 8));
        const int id = control.id;
        connect(combo, &QComboBox::activated, this, [this, id] { m_services.SendCommand(id, CBN_SELCHANGE); });
        m_combos[control.id] = combo;
        widget = combo;
        break;
      }
      case ControlKind::TextProgress: {
        m_progress = new CTextProgressWidget(this);
        m_progress->setGeometry(rect);
        m_progress->hide();  // the plain bar stands in its place until programming starts
        widget = m_progress;
        break;
      }
      case ControlKind::Progress: {
        m_progressIdle = new QProgressBar(this);
        m_progressIdle->setGeometry(rect);
        m_progressIdle->setRange(0, 100);
        m_progressIdle->setValue(0);
        m_progressIdle->setTextVisible(false);
        widget = m_progressIdle;
        break;
      }
      case ControlKind::RichEdit: {
        m_log = new QTextEdit(this);
        m_log->setGeometry(rect);
        m_log->setReadOnly(true);
        m_log->setUndoRedoEnabled(false);
        m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        m_log->setLineWrapMode(QTextEdit::WidgetWidth);
        m_log->viewport()->installEventFilter(this);
        widget = m_log;
        break;
      }
      case ControlKind::HiddenButton: {
        auto* button = new QPushButton(text, this);
        button->setGeometry(rect);
        button->setAutoDefault(false);
        button->setEnabled(false);
        button->hide();
        widget = button;
        break;
      }
    }
    if (control.id != 0) {
      widget->setObjectName(QString::number(control.id));
      m_controls[control.id] = widget;
      const QString tip = QString::fromUtf8(ToolTipText(control.id));
      if (!tip.isEmpty()) widget->setToolTip(tip);
    }
    widget->installEventFilter(this);
  }
}

QWidget* CTarviselWindow::Control(int id) const {
  const auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : it->second;
}

void CTarviselWindow::SetText(int id, const std::string& text) {
  if (const auto it = m_edits.find(id); it != m_edits.end()) {
    it->second->setText(Q(text));
    it->second->setCursorPosition(0);
  } else if (QWidget* w = Control(id)) {
    w->setWindowTitle(Q(text));
  }
}

std::string CTarviselWindow::GetText(int id) const {
  if (const auto it = m_edits.find(id); it != m_edits.end()) return it->second->text().toStdString();
  if (const auto it = m_combos.find(id); it != m_combos.end()) return it->second->currentText().toStdString();
  return {};
}

void CTarviselWindow::Enable(int id, bool enabled) {
  if (QWidget* w = Control(id)) w->setEnabled(enabled);
}

bool CTarviselWindow::IsEnabled(int id) const {
  const QWidget* w = Control(id);
  return w && w->isEnabled();
}

void CTarviselWindow::Show(int id, bool shown) {
  if (QWidget* w = Control(id)) {
    w->setVisible(shown);
    if (shown) w->raise();
  }
}

bool CTarviselWindow::IsShown(int id) const {
  const QWidget* w = Control(id);
  return w && !w->isHidden();
}

void CTarviselWindow::SetComboItems(int id, const std::vector<std::string>& items) {
  const auto it = m_combos.find(id);
  if (it == m_combos.end()) return;
  std::vector<std::string> ordered = items;
  if (id == IDC_PORT) std::sort(ordered.begin(), ordered.end());  // the Port list is a sorted list
  it->second->clear();
  for (const std::string& item : ordered) it->second->addItem(Q(item));
  it->second->setCurrentIndex(-1);
}

std::vector<std::string> CTarviselWindow::GetComboItems(int id) const {
  std::vector<std::string> items;
  if (const auto it = m_combos.find(id); it != m_combos.end())
    for (int i = 0; i < it->second->count(); ++i) items.push_back(it->second->itemText(i).toStdString());
  return items;
}

void CTarviselWindow::SetComboSel(int id, int index) {
  const auto it = m_combos.find(id);
  if (it == m_combos.end()) return;
  it->second->setCurrentIndex(index >= 0 && index < it->second->count() ? index : -1);
}

int CTarviselWindow::GetComboSel(int id) const {
  const auto it = m_combos.find(id);
  return it == m_combos.end() ? -1 : it->second->currentIndex();
}

void CTarviselWindow::AppendRichText(int id, const std::string& text, uint32_t colorBgr, bool bold) {
  if (id != IDC_LOG || !m_log) return;
  QTextCursor cursor(m_log->document());
  cursor.movePosition(QTextCursor::End);
  QTextCharFormat format;
  format.setForeground(FromBgr(colorBgr));
  format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
  cursor.insertText(Q(text), format);
  // Follow the new text, as an auto-scrolling edit does.
  m_log->verticalScrollBar()->setValue(m_log->verticalScrollBar()->maximum());
}

void CTarviselWindow::ClearRichText(int id) {
  if (id == IDC_LOG && m_log) m_log->clear();
}

void CTarviselWindow::SetProgressRange(int id, int lower, int upper) {
  if (id == IDC_PROGRESS) m_progress->SetRange(lower, upper);
  if (id == IDC_PROGRESS_IDLE) m_progressIdle->setRange(lower, upper);
}

void CTarviselWindow::SetProgressPos(int id, int pos) {
  if (id == IDC_PROGRESS) m_progress->SetPos(pos);
  if (id == IDC_PROGRESS_IDLE) m_progressIdle->setValue(pos);
}

void CTarviselWindow::SetProgressText(int id, const std::string& text) {
  if (id == IDC_PROGRESS) m_progress->SetWindowText(text);
}

void CTarviselWindow::EnableProgressText(int id, bool on) {
  if (id == IDC_PROGRESS) m_progress->EnableText(on);
}

void CTarviselWindow::FinishClose() {
  m_closeAllowed = true;
  if (!m_inCloseEvent) close();
}

void CTarviselWindow::closeEvent(QCloseEvent* event) {
  if (m_closeAllowed) {
    event->accept();
    return;
  }
  // The engine stops the link first; FinishClose then lets the window go.
  WindowMessage msg;
  msg.message = WM_CLOSE;
  m_inCloseEvent = true;
  m_services.Send(msg);
  m_inCloseEvent = false;
  if (m_closeAllowed) {
    event->accept();
  } else {
    event->ignore();
  }
}

void CTarviselWindow::OnSysCommand(int command) {
  if ((command & 0xFFF0) == IDM_ABOUTBOX && m_runAbout) m_runAbout();
}

// The desktops here give an application no system menu of its own: the About entry lives in
// the window's context menu.
void CTarviselWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* about = menu.addAction(QStringLiteral("Tarvisel 정보(&A)..."));
  QAction* station = m_openStation ? menu.addAction(QStringLiteral("Tarvisel Station...")) : nullptr;
  QAction* chosen = menu.exec(event->globalPos());
  if (chosen == about) OnSysCommand(IDM_ABOUTBOX);
  if (chosen && chosen == station) m_openStation();
}

bool CTarviselWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Paint && m_services.IsPaused()) ++m_paintsWhilePaused;
  return QWidget::eventFilter(watched, event);
}
