#include "TarviselWindow.h"

#include <QCloseEvent>
#include <QAbstractItemView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextStream>
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
      m_services(services),
      m_now([] { return QDateTime::currentDateTime(); }) {
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
    // The command buttons' names choose their images; the rest is shown.
    const QString text = control.kind == ControlKind::ImageButton || control.kind == ControlKind::TextProgress
                             ? QString::fromUtf8(control.text)
                             : QCoreApplication::translate("MainWindow", control.text);
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
        connect(combo, &QComboBox::activated, this, [this, id](int index) {
          if (id == IDC_PORT) {
            // A device item is the link's alone: the engine keeps its COM index.
            const bool device = index >= static_cast<int>(m_comCount);
            m_portDevice = device ? m_portChoices[static_cast<size_t>(index) - m_comCount].path : std::string();
            if (!device) m_comIndex = index;
            if (m_onPortDevice) m_onPortDevice(m_portDevice);
          }
          m_services.SendCommand(id, CBN_SELCHANGE);
        });
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
        m_log->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(m_log, &QWidget::customContextMenuRequested, this,
                [this](const QPoint& at) { LogMenu()->exec(m_log->viewport()->mapToGlobal(at)); });
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
      const QString tip = QCoreApplication::translate("MainWindow", ToolTipText(control.id));
      if (!tip.isEmpty()) widget->setToolTip(tip);
    }
    widget->installEventFilter(this);
  }
  if (QWidget* open = Control(IDC_OPEN)) {
    open->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(open, &QWidget::customContextMenuRequested, this, [this, open](const QPoint& at) {
      if (open->isEnabled()) OpenMenu()->exec(open->mapToGlobal(at));
    });
  }
}

bool CTarviselWindow::SaveLog(const QString& path) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
  QTextStream out(&file);
  for (const auto& [at, text] : m_logLines)
    out << at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) << ' ' << text << '\n';
  out.flush();
  return out.status() == QTextStream::Ok && file.error() == QFileDevice::NoError;
}

std::unique_ptr<QMenu> CTarviselWindow::LogMenu() {
  std::unique_ptr<QMenu> menu(m_log->createStandardContextMenu());
  menu->addSeparator();
  QAction* save = menu->addAction(tr("Save log..."));
  save->setEnabled(!m_logLines.empty());
  connect(save, &QAction::triggered, this, [this] { SaveLogAs(); });
  return menu;
}

void CTarviselWindow::SaveLogAs() {
  const QString path = m_askLogPath ? m_askLogPath()
                                    : QFileDialog::getSaveFileName(this, tr("Save log"),
                                                                   QStringLiteral("tarvisel.log"),
                                                                   tr("Log files (*.log *.txt)"));
  if (path.isEmpty()) return;
  if (!SaveLog(path))
    QMessageBox::warning(this, tr("Save log"), tr("The log could not be written to %1.").arg(path));
}

std::unique_ptr<QMenu> CTarviselWindow::OpenMenu() {
  auto menu = std::make_unique<QMenu>(this);
  const std::vector<std::string> paths = m_recentImages ? m_recentImages() : std::vector<std::string>{};
  for (const std::string& path : paths) {
    QAction* action = menu->addAction(Q(path));
    connect(action, &QAction::triggered, this, [this, path] {
      if (m_openRecent) m_openRecent(path);
    });
  }
  if (paths.empty()) menu->addAction(tr("(no image opened yet)"))->setEnabled(false);
  return menu;
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
  if (id == IDC_PORT) {
    m_comCount = ordered.size();
    m_comIndex = -1;
    FillPortChoices();
  }
}

void CTarviselWindow::SetPortChoices(std::vector<PortChoice> choices) {
  m_portChoices = std::move(choices);
  FillPortChoices();
}

void CTarviselWindow::FillPortChoices() {
  QComboBox* combo = m_combos.count(IDC_PORT) ? m_combos[IDC_PORT] : nullptr;
  if (!combo) return;
  while (combo->count() > static_cast<int>(m_comCount)) combo->removeItem(combo->count() - 1);
  for (size_t i = 0; i < m_comCount && i < m_comTips.size(); ++i)
    combo->setItemData(static_cast<int>(i), Q(m_comTips[i]), Qt::ToolTipRole);
  int widest = combo->width();
  for (const PortChoice& choice : m_portChoices) {
    combo->addItem(Q(choice.label));
    combo->setItemData(combo->count() - 1, Q(choice.leadsTo), Qt::ToolTipRole);
    widest = std::max(widest, combo->fontMetrics().horizontalAdvance(Q(choice.label)) + 24);
  }
  // The box keeps the template's width; its list is as wide as the longest name.
  combo->view()->setMinimumWidth(widest);
  ShowPortSelection();
}

void CTarviselWindow::SelectPortDevice(const std::string& path) {
  m_portDevice = path;
  ShowPortSelection();
}

void CTarviselWindow::ShowPortSelection() {
  QComboBox* combo = m_combos.count(IDC_PORT) ? m_combos[IDC_PORT] : nullptr;
  if (!combo) return;
  int index = m_comIndex;
  if (!m_portDevice.empty()) {
    for (size_t i = 0; i < m_portChoices.size(); ++i)
      if (m_portChoices[i].path == m_portDevice) index = static_cast<int>(m_comCount + i);
  }
  combo->setCurrentIndex(index < combo->count() ? index : -1);
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
  if (id == IDC_PORT) {
    // The engine's COM index; a device chosen stays shown.
    m_comIndex = index >= 0 && index < static_cast<int>(m_comCount) ? index : -1;
    ShowPortSelection();
    return;
  }
  it->second->setCurrentIndex(index >= 0 && index < it->second->count() ? index : -1);
}

int CTarviselWindow::GetComboSel(int id) const {
  const auto it = m_combos.find(id);
  if (it == m_combos.end()) return -1;
  if (id == IDC_PORT && !m_portDevice.empty()) return m_comIndex;
  return it->second->currentIndex();
}

void CTarviselWindow::AppendRichText(int id, const std::string& text, uint32_t colorBgr, bool bold) {
  if (id != IDC_LOG || !m_log) return;
  QTextCursor cursor(m_log->document());
  cursor.movePosition(QTextCursor::End);
  QTextCharFormat format;
  format.setForeground(FromBgr(colorBgr));
  format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
  cursor.insertText(Q(text), format);
  // Each append is a new line ("\n" first); all its lines carry the time it was shown.
  const QDateTime now = m_now();
  const QStringList lines = Q(text).split(QLatin1Char('\n'));
  for (int i = 0; i < lines.size(); ++i)
    if (i > 0 || !lines[i].isEmpty()) m_logLines.emplace_back(now, lines[i]);
  // Follow the new text, as an auto-scrolling edit does.
  m_log->verticalScrollBar()->setValue(m_log->verticalScrollBar()->maximum());
}

void CTarviselWindow::ClearRichText(int id) {
  if (id == IDC_LOG && m_log) m_log->clear();
  if (id == IDC_LOG) m_logLines.clear();
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
  QAction* about = menu.addAction(tr("Tarvisel 정보(&A)..."));
  QAction* station = m_openStation ? menu.addAction(tr("Tarvisel Station...")) : nullptr;
  QAction* chosen = menu.exec(event->globalPos());
  if (chosen == about) OnSysCommand(IDM_ABOUTBOX);
  if (chosen && chosen == station) m_openStation();
}

bool CTarviselWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Paint && m_services.IsPaused()) ++m_paintsWhilePaused;
  return QWidget::eventFilter(watched, event);
}
