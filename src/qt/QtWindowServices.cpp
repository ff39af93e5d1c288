#include "QtWindowServices.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

#include "FontDialog.h"
#include "platform/MessageBoxAnswer.h"

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// "Label (*.x)|*.x|Label 2|*.*||" as Qt name filters. The platform's "*.*" means every file.
QStringList NameFilters(const std::string& filter) {
  QStringList parts = Q(filter).split(QLatin1Char('|'));
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    QString label = parts[i];
    QString patterns = parts[i + 1];
    patterns.replace(QStringLiteral("*.*"), QStringLiteral("*"));
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    const int open = label.lastIndexOf(QLatin1Char('('));
    if (open > 0) label = label.left(open).trimmed();
    filters << QStringLiteral("%1 (%2)").arg(label, patterns);
  }
  return filters;
}

}  // namespace

CQtWindowServices::CQtWindowServices() : m_start(std::chrono::steady_clock::now()) {
  m_timerWake.setSingleShot(true);
  m_timerWake.setTimerType(Qt::PreciseTimer);
  connect(&m_timerWake, &QTimer::timeout, this, [this] { DispatchNext(); });
}

CQtWindowServices::~CQtWindowServices() {
  while (m_waitCursorDepth > 0) EndWaitCursor();
  ReleaseCapture();
}

void CQtWindowServices::AttachWindow(QWidget* window, CDialogControls* controls) {
  m_window = window;
  m_controls = controls;
}

CDialogControls& CQtWindowServices::Controls() { return *m_controls; }

void CQtWindowServices::PostMessage(const WindowMessage& msg) {
  m_queue.Post(msg);
  ScheduleDispatch();
}

void CQtWindowServices::SetHandler(std::function<void(const WindowMessage&)> handler) {
  m_handler = std::move(handler);
}

bool CQtWindowServices::RunHandler(const std::function<void()>& fn) {
  if (m_handlerDepth > 0 || m_pauseDepth > 0) return false;
  ++m_handlerDepth;
  fn();
  --m_handlerDepth;
  if (m_afterDispatch) m_afterDispatch();
  ScheduleDispatch();
  return true;
}

void CQtWindowServices::Send(const WindowMessage& msg) {
  if (!RunHandler([&] {
        if (m_handler) m_handler(msg);
      }))
    PostMessage(msg);
}

void CQtWindowServices::SendCommand(int id, intptr_t notification) {
  WindowMessage msg;
  msg.message = WM_COMMAND;
  msg.wParam = static_cast<uintptr_t>(id);
  msg.lParam = notification;
  Send(msg);
}

// Safe from any thread: at most one wake-up call waits in Qt's queue at a time.
void CQtWindowServices::ScheduleDispatch() {
  if (!m_dispatchScheduled.exchange(true))
    QMetaObject::invokeMethod(this, [this] { DispatchNext(); }, Qt::QueuedConnection);
}

void CQtWindowServices::ScheduleTimerWake() {
  const auto next = m_timers.Earliest();
  if (!next) {
    m_timerWake.stop();
    return;
  }
  const uint64_t now = ClockMs();
  m_timerWake.start(static_cast<int>(next->dueMs > now ? next->dueMs - now : 0));
}

void CQtWindowServices::DispatchNext() {
  m_dispatchScheduled = false;
  // Whoever is handling or pausing now schedules the next turn when done.
  if (m_handlerDepth > 0 || m_pauseDepth > 0) return;
  std::optional<WindowMessage> msg = m_queue.TryPop();
  if (!msg) {
    const auto next = m_timers.Earliest();
    const uint64_t now = ClockMs();
    if (next && next->dueMs <= now) {
      m_timers.Expire(next->id, now);
      msg.emplace();
      msg->message = WM_TIMER;
      msg->wParam = next->id;
    }
  }
  if (msg) {
    ++m_handlerDepth;
    if (m_handler) m_handler(*msg);
    --m_handlerDepth;
    if (m_afterDispatch) m_afterDispatch();
  }
  if (!m_queue.Empty()) ScheduleDispatch();
  ScheduleTimerWake();
}

void CQtWindowServices::SetTimer(uint32_t id, uint32_t periodMs) {
  m_timers.Set(id, periodMs, ClockMs());
  ScheduleTimerWake();
}

void CQtWindowServices::KillTimer(uint32_t id) {
  m_timers.Kill(id);
  ScheduleTimerWake();
}

void CQtWindowServices::Pause(uint32_t ms) {
  const bool filter = m_stopButton && m_pauseDepth == 0 && qApp;
  ++m_pauseDepth;
  QEventLoop loop;
  QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
  if (filter) {
    qApp->installEventFilter(this);
    loop.exec();
    qApp->removeEventFilter(this);
    // What waited is handed on now, in order, as if it had come after the pause.
    std::vector<HeldInput> held = std::move(m_heldInput);
    m_heldInput.clear();
    for (HeldInput& h : held) {
      if (h.receiver) QCoreApplication::postEvent(h.receiver, h.event.release());
    }
  } else {
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  --m_pauseDepth;
}

bool CQtWindowServices::eventFilter(QObject* watched, QEvent* event) {
  if (m_pauseDepth == 0) return false;
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
      break;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
      if (!qobject_cast<QWidget*>(watched)) return false;
      m_heldInput.push_back({QPointer<QObject>(watched), std::unique_ptr<QEvent>(event->clone())});
      return true;  // waits, as the paused window does
    default:
      return false;
  }
  // A mouse event reaches the native window first and is passed on to the widget under it:
  // only the widget's copy is judged.
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget) return false;
  const bool onStop = m_stopButton && m_stopButton->isEnabled() &&
                      (widget == m_stopButton || m_stopButton->isAncestorOf(widget));
  if (onStop) return false;
  m_heldInput.push_back({QPointer<QObject>(watched), std::unique_ptr<QEvent>(event->clone())});
  return true;
}

uint64_t CQtWindowServices::ClockMs() {
  const auto elapsed = std::chrono::steady_clock::now() - m_start;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

int CQtWindowServices::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
  // A modal box takes the mouse from whoever held it, as on the original platform.
  ReleaseCapture();
  QMessageBox box(m_window);
  box.setWindowTitle(caption.empty() ? QCoreApplication::applicationName() : Q(caption));
  box.setText(Q(text));
  switch (type & MB_ICON_MASK) {
    case MB_ICONEXCLAMATION:
      box.setIcon(QMessageBox::Warning);
      break;
    case MB_ICONINFORMATION:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      box.setIcon(QMessageBox::NoIcon);
      break;
  }
  if ((type & MB_SYSTEMMODAL) != 0) box.setWindowFlag(Qt::WindowStaysOnTopHint);
  const bool question = (type & MB_BUTTONS_MASK) == MB_YESNO;
  if (question) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
  }
  const int result = box.exec();
  int answer = SafeAnswer(type);
  if (question) {
    if (result == QMessageBox::Yes) answer = IDYES;
    if (result == QMessageBox::No) answer = IDNO;
  } else {
    answer = IDOK;
  }
  return answer;
}

std::optional<std::string> CQtWindowServices::FileOpenDialog(const FileOpenRequest& request) {
  ReleaseCapture();
  std::optional<std::string> chosen = std::exchange(m_nextFileOpen, std::nullopt);
  if (!chosen) chosen = ShowFileOpenDialog(request);
  if (chosen && m_onFileChosen) m_onFileChosen(*chosen);
  return chosen;
}

std::optional<std::string> CQtWindowServices::ShowFileOpenDialog(const FileOpenRequest& request) {
  const QString initial = Q(request.initialFile);
  const int slash = initial.lastIndexOf(QLatin1Char('/'));
  QFileDialog dialog(m_window, tr("열기"), slash >= 0 ? initial.left(slash + 1) : QString());
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(Q(request.defaultExtension));
  dialog.setNameFilters(NameFilters(request.filter));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front().toStdString();
}

int CQtWindowServices::RunFontDialog(CDlgFont& dialog) {
  ReleaseCapture();
  return RunFontDialogModal(m_window, dialog);
}

void CQtWindowServices::BeginWaitCursor() {
  ++m_waitCursorDepth;
  QApplication::setOverrideCursor(Qt::WaitCursor);
}

void CQtWindowServices::EndWaitCursor() {
  if (m_waitCursorDepth == 0) return;
  --m_waitCursorDepth;
  QApplication::restoreOverrideCursor();
}

void CQtWindowServices::SetCapture() {
  if (m_window) m_window->grabMouse();
  m_captured = true;
}

void CQtWindowServices::ReleaseCapture() {
  if (m_captured && m_window) m_window->releaseMouse();
  m_captured = false;
}
