#include "StationWindow.h"

#include <unistd.h>

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>
#include <QFrame>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <filesystem>

#include "CliOptions.h"
#include "StationToday.h"
#include "platform/Translate.h"

namespace {

constexpr int kPumpMs = 50;
constexpr int kTodayEvery = 40;  // pumps between two reads of the record (2 s)

// The download types a station offers: FONT needs a start address and blocks for each image.
const std::vector<std::pair<QString, int>> kTypes = {
    {QStringLiteral("NORMAL"), 0}, {QStringLiteral("EMERGENCY"), 1},
    {QStringLiteral("CHANGE(EMERGENCY)"), 3}, {QStringLiteral("CHANGE(NORMAL)"), 4}};

const QColor kGreen(0, 128, 0);
const QColor kRed(192, 0, 0);
// Tints light enough for black text, strong enough to tell apart across a room.
const QColor kDoneTint(200, 236, 200);
const QColor kFailedTint(255, 205, 205);
const QColor kRunningTint(222, 235, 252);
const QColor kWaitingTint(255, 236, 170);
const QColor kDoneBar(46, 125, 50);
const QColor kFailedBar(198, 40, 40);

QString Q(const std::string& s) { return QString::fromStdString(s); }
// A text of the program's, in the user's language.
QString T(const char* text) { return QString::fromUtf8(Tr(text)); }

// The main window's log colours: errors red, steps black, the rest blue.
QString LogColour(const std::string& kind) {
  if (kind == "error" || kind == "alert" || kind == "warning") return QStringLiteral("#ff0000");
  if (kind == "step" || kind == "message" || kind == "result") return QStringLiteral("#000000");
  return QStringLiteral("#0000ff");
}

// A port as its row names it: a link of the followed folder (or of /dev/serial/by-id) by its
// own name, every row's folder being the same; another path whole.
QString PortName(const std::string& device, const std::string& portsDir) {
  for (const std::string& folder : {portsDir, std::string(kDefaultPortsDir)}) {
    if (folder.empty()) continue;
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    if (device.size() > prefix.size() && device.compare(0, prefix.size(), prefix) == 0 &&
        device.find('/', prefix.size()) == std::string::npos)
      return Q(device.substr(prefix.size()));
  }
  return Q(device);
}

QString LogLineHtml(const StationLogEntry& e) {
  return QStringLiteral("<span style=\"color:#808080\">%1</span> <b style=\"color:%2\">%3</b>")
      .arg(Q(e.stamp).toHtmlEscaped(), LogColour(e.kind), Q(e.text).toHtmlEscaped());
}

}  // namespace

StationDialogs DefaultStationDialogs() {
  StationDialogs d;
  d.openImage = [](QWidget* parent) -> std::optional<QString> {
    const QString path = QFileDialog::getOpenFileName(parent, CStationWindow::tr("Open"), QString(),
                                                      CStationWindow::tr("Image (*.bin);;All files (*)"));
    if (path.isEmpty()) return std::nullopt;
    return path;
  };
  d.portPath = [](QWidget* parent) -> std::optional<QString> {
    bool ok = false;
    const QString path = QInputDialog::getText(parent, CStationWindow::tr("Add port"),
                                               CStationWindow::tr("Path of the serial port (a tty, a pty of the simulator):"),
                                               QLineEdit::Normal, QStringLiteral("/dev/"), &ok);
    if (!ok || path.trimmed().isEmpty()) return std::nullopt;
    return path.trimmed();
  };
  return d;
}

QString RowStateText(const StationRow& row) {
  switch (row.Tone()) {
    case RowTone::Plain: return QString();
    case RowTone::Running: return T("\u25B6 running");
    case RowTone::Waiting: return T("? answer needed");
    case RowTone::Completed: return T("\u2714 completed");
    case RowTone::Failed: return T("\u2716 %1").arg(Q(row.ResultText()));
  }
  return QString();
}

QColor RowTint(RowTone tone) {
  switch (tone) {
    case RowTone::Plain: return QColor();
    case RowTone::Running: return kRunningTint;
    case RowTone::Waiting: return kWaitingTint;
    case RowTone::Completed: return kDoneTint;
    case RowTone::Failed: return kFailedTint;
  }
  return QColor();
}

QColor BarColour(RowTone tone) {
  if (tone == RowTone::Completed) return kDoneBar;
  if (tone == RowTone::Failed) return kFailedBar;
  return QColor();
}

std::string FindCliProgram() {
  if (const char* env = std::getenv("TARVISEL_CLI"); env && *env) return env;
  const QString here = QCoreApplication::applicationDirPath();
  for (const QString& p : {here + QStringLiteral("/tarvisel-cli"), here + QStringLiteral("/../cli/tarvisel-cli")})
    if (QFileInfo(p).isExecutable()) return QFileInfo(p).canonicalFilePath().toStdString();
  return "/usr/bin/tarvisel-cli";
}

StationRunnerSetup DefaultStationSetup() {
  StationRunnerSetup s;
  s.cliProgram = FindCliProgram();
  if (const char* dir = std::getenv("TARVISEL_PORTS_DIR"); dir && *dir) s.portsDir = dir;
  if (const char* url = std::getenv("TARVISEL_RECORD"); url && *url) s.recordUrl = url;
  return s;
}

CStationWindow::CStationWindow(StationRunnerSetup setup, StationDialogs dialogs, QWidget* parent)
    : QWidget(parent), m_dialogs(std::move(dialogs)), m_runner(std::make_unique<CStationRunner>(std::move(setup), &m_facts)) {
  setWindowTitle(tr("Tarvisel Station"));
  Build();
  std::string error;
  if (!m_runner->Start(error))
    m_note->setText(tr("Ports are not followed: %1").arg(Q(error)));
  m_timer = new QTimer(this);
  connect(m_timer, &QTimer::timeout, this, &CStationWindow::Pump);
  m_timer->start(kPumpMs);
  ShowToday();
  Show();
}

CStationWindow::~CStationWindow() = default;

void CStationWindow::Build() {
  auto* top = new QHBoxLayout;
  m_open = new QPushButton(tr("Open"));
  m_imageInfo = new QLabel(tr("no image"));
  m_type = new QComboBox;
  for (const auto& [name, index] : kTypes) m_type->addItem(name, index);
  m_speed = new QComboBox;
  m_speed->addItems({QStringLiteral("57600"), QStringLiteral("115200")});
  m_speed->setCurrentIndex(1);
  m_answer = new QComboBox;
  m_answer->addItems({tr("Ask once for all"), tr("Yes"), tr("No")});
  m_answer->setToolTip(tr("The answer when a handset's version differs from the image's"));
  top->addWidget(m_open);
  top->addWidget(m_imageInfo, 1);
  top->addWidget(new QLabel(tr("Type")));
  top->addWidget(m_type);
  top->addWidget(new QLabel(tr("Speed")));
  top->addWidget(m_speed);
  top->addWidget(new QLabel(tr("Version differs")));
  top->addWidget(m_answer);

  // The version question, asked here and not in a box: the rows go on while it waits.
  m_askBar = new QFrame;
  m_askBar->setFrameShape(QFrame::StyledPanel);
  m_askBar->setAutoFillBackground(true);
  QPalette askPalette = m_askBar->palette();
  askPalette.setColor(QPalette::Window, kWaitingTint);
  m_askBar->setPalette(askPalette);
  auto* ask = new QHBoxLayout(m_askBar);
  m_askText = new QLabel;
  m_askText->setWordWrap(true);
  m_askText->setTextFormat(Qt::PlainText);
  m_askYes = new QPushButton(T("Yes to all"));
  m_askNo = new QPushButton(T("No to all"));
  ask->addWidget(m_askText, 1);
  ask->addWidget(m_askYes);
  ask->addWidget(m_askNo);
  m_askBar->hide();

  m_rows = new QTreeWidget;
  m_rows->setColumnCount(kColumns);
  m_rows->setHeaderLabels({QString(), tr("Port"), tr("Adapter"), tr("Progress"), tr("Phase"), tr("Result"), tr("Time"),
                           QString(), tr("Unit")});
  m_rows->setRootIsDecorated(false);
  m_rows->setUniformRowHeights(true);
  // A by-id name's start is the maker, its end the serial and port: both tell adapters apart.
  m_rows->setTextElideMode(Qt::ElideMiddle);
  m_rows->header()->setStretchLastSection(false);
  m_rows->header()->setSectionResizeMode(kPort, QHeaderView::Stretch);
  m_rows->setColumnWidth(kCheck, 28);
  m_rows->setColumnWidth(kFacts, 200);
  m_rows->setColumnWidth(kProgress, 130);
  m_rows->setColumnWidth(kPhase, 110);
  // The longest result fits whole: the key word is never cut.
  int resultWidth = 0;
  for (const std::string& outcome : KnownOutcomes())
    resultWidth = std::max(resultWidth, m_rows->fontMetrics().horizontalAdvance(
                                            T("\u2716 %1").arg(T("failed: ") + Q(OutcomeInWords(outcome)))));
  resultWidth = std::max(resultWidth, m_rows->fontMetrics().horizontalAdvance(T("? answer needed")));
  m_rows->setColumnWidth(kResult, resultWidth + 24);
  m_rows->setColumnWidth(kTime, 50);
  m_rows->setColumnWidth(kAction, 90);
  m_rows->setColumnWidth(kUnit, 130);

  auto* buttons = new QHBoxLayout;
  m_add = new QPushButton(tr("Add port..."));
  m_run = new QPushButton(tr("Run"));
  m_watch = new QPushButton(tr("Watch"));
  m_stop = new QPushButton(tr("Stop"));
  m_note = new QLabel;
  buttons->addWidget(m_add);
  // A barcode scanner types the unit here and ends it with Enter.
  m_scan = new QLineEdit;
  m_scan->setPlaceholderText(QString::fromUtf8(Tr("Unit: scan or type, Enter")));
  m_scan->setToolTip(QString::fromUtf8(Tr("The unit goes to the selected row, else to the next row waiting for one")));
  m_scan->setMaximumWidth(220);
  buttons->addWidget(m_scan);
  buttons->addWidget(m_note, 1);
  buttons->addWidget(m_run);
  buttons->addWidget(m_watch);
  buttons->addWidget(m_stop);

  auto* foot = new QHBoxLayout;
  m_counts = new QLabel;
  m_today = new QLabel;
  foot->addWidget(m_counts, 1);
  foot->addWidget(m_today);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(m_askBar);
  layout->addWidget(m_rows, 1);
  layout->addLayout(buttons);
  layout->addLayout(foot);
  resize(1240, 400);  // the port's whole by-id name beside the unit on a laptop's screen

  connect(m_open, &QPushButton::clicked, this, &CStationWindow::OnOpen);
  connect(m_add, &QPushButton::clicked, this, &CStationWindow::OnAdd);
  connect(m_run, &QPushButton::clicked, this, &CStationWindow::OnRun);
  connect(m_watch, &QPushButton::clicked, this, &CStationWindow::OnWatch);
  connect(m_stop, &QPushButton::clicked, this, &CStationWindow::OnStop);
  connect(m_askYes, &QPushButton::clicked, this, [this] { OnAnswer(true); });
  connect(m_askNo, &QPushButton::clicked, this, [this] { OnAnswer(false); });
  connect(m_scan, &QLineEdit::returnPressed, this, &CStationWindow::OnScan);
  connect(m_type, &QComboBox::currentIndexChanged, this, [this] {
    m_runner->SetType(m_type->currentData().toInt());
    if (!m_runner->Image().empty()) TakeImage(Q(m_runner->Image()));
  });
  connect(m_speed, &QComboBox::currentIndexChanged, this, [this](int i) { m_runner->SetSpeedIndex(i); });
  connect(m_answer, &QComboBox::currentIndexChanged, this, [this](int i) {
    // Yes or No chosen while the question waits answers it: the waiting rows must not stay so.
    if (i != 0 && m_runner->Model().PendingQuestion()) OnAnswer(i == 1);
    else m_runner->Model().SetAnswer(i == 1 ? StationAnswer::Yes : i == 2 ? StationAnswer::No : StationAnswer::Ask);
  });
  connect(m_rows, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (column != kCheck) return;
    const uint64_t id = IdOf(item);
    const StationRow* row = m_runner->Model().Find(id);
    const bool checked = item->checkState(kCheck) == Qt::Checked;
    if (row && row->checked != checked) m_runner->Model().SetChecked(id, checked);
  });
  connect(m_rows, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) { OpenLog(IdOf(item)); });
  m_rows->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(m_rows, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const uint64_t id = IdOf(m_rows->itemAt(at));
    const StationRow* row = m_runner->Model().Find(id);
    if (!row) return;
    QMenu menu(this);
    QAction* log = menu.addAction(tr("Open log"));
    QAction* again = menu.addAction(tr("Run again"));
    again->setEnabled(m_imageOk && row->Failed() && row->present);
    QAction* remove = menu.addAction(tr("Remove"));
    remove->setEnabled(!row->running);
    QAction* chosen = menu.exec(m_rows->viewport()->mapToGlobal(at));
    if (chosen == log) OpenLog(id);
    if (chosen == again && m_runner->Model().RunAgain(id)) Pump();
    if (chosen == remove) {
      m_runner->Model().Remove(id);
      Show();
    }
  });
}

bool CStationWindow::TakeImage(const QString& path) {
  const StationImage image = CheckStationImage(path.toStdString(), m_type->currentData().toInt());
  m_imageOk = image.ok;
  m_imageVersion = image.version;
  if (!image.ok) {
    m_imageInfo->setText(QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), Q(image.why)));
    Show();
    return false;
  }
  m_runner->SetImage(path.toStdString());
  // Size and version as the main window shows them.
  m_imageInfo->setText(tr("%1   Size %2   Version %3")
                           .arg(QFileInfo(path).fileName())
                           .arg(image.size)
                           .arg(image.version));
  m_imageInfo->setToolTip(path);
  Show();
  return true;
}

void CStationWindow::OnOpen() {
  if (const auto path = m_dialogs.openImage(this)) TakeImage(*path);
}

void CStationWindow::OnAdd() {
  if (const auto path = m_dialogs.portPath(this)) {
    m_runner->AddPath(path->toStdString());
    Show();
  }
}

void CStationWindow::OnRun() {
  if (!m_imageOk) return;
  m_runner->Model().Run();
  Pump();
}

void CStationWindow::OnWatch() {
  if (!m_imageOk) return;
  m_runner->Model().Watch();
  Pump();
}

void CStationWindow::OnStop() {
  m_runner->Stop();
  Pump();
}

void CStationWindow::Pump() {
  m_runner->Pump();
  if (++m_todayEvery >= kTodayEvery) {
    m_todayEvery = 0;
    ShowToday();
  }
  // A running row's time goes on between its events (a long erase).
  if (m_runner->Model().TakeChanged() || m_runner->AnyRunning()) Show();
  ShowLogs();
  ShowQuestion();
}

void CStationWindow::ShowQuestion() {
  const auto q = m_runner->Model().Question();
  if (!q) {
    m_askBar->hide();
    return;
  }
  QString text = Q(q->text);
  if (!q->device.empty()) {
    const QString handset = q->handsetVersion ? QString::number(*q->handsetVersion) : QStringLiteral("?");
    text += T("\n%1: handset version %2%3, image version %4")
                .arg(Q(q->device), handset,
                     q->handsetSw.empty() ? QString() : T(" (S/W %1)").arg(Q(q->handsetSw)))
                .arg(m_imageVersion);
    if (q->waiting > 1) text += T(" (%1 handsets wait for this answer)").arg(q->waiting);
  }
  if (m_askText->text() != text) m_askText->setText(text);
  m_askBar->show();
}

void CStationWindow::OnAnswer(bool yesToAll) {
  if (!m_runner->Model().PendingQuestion()) return;
  m_runner->Model().AnswerQuestion(yesToAll);
  {
    QSignalBlocker block(m_answer);
    m_answer->setCurrentIndex(yesToAll ? 1 : 2);
  }
  Pump();
}

void CStationWindow::ShowToday() {
  const std::string path = HistoryPathOf([&] {
    CliOptions o;
    o.historyFile = m_runner->Setup().historyFile;
    o.noHistory = m_runner->Setup().noHistory;
    return o;
  }());
  const auto today = TodayInRecord(path, std::chrono::system_clock::now());
  m_today->setText(today ? Q(TodayText(*today)) : QString());
}

QPushButton* CStationWindow::RunAgainButton(QTreeWidgetItem* item) const {
  QWidget* holder = item ? m_rows->itemWidget(item, kAction) : nullptr;
  return holder ? holder->findChild<QPushButton*>() : nullptr;
}

uint64_t CStationWindow::IdOf(QTreeWidgetItem* item) const {
  return item ? item->data(kCheck, Qt::UserRole).toULongLong() : 0;
}

QTreeWidgetItem* CStationWindow::ItemOf(const std::string& device) const {
  const StationRow* row = m_runner->Model().FindDevice(device);
  if (!row) return nullptr;
  const auto it = m_items.find(row->id);
  return it == m_items.end() ? nullptr : it->second;
}

void CStationWindow::Show() {
  const CStationModel& model = m_runner->Model();
  QSignalBlocker block(m_rows);
  // Rows that went.
  for (auto it = m_items.begin(); it != m_items.end();) {
    if (model.Find(it->first)) {
      ++it;
      continue;
    }
    delete it->second;
    it = m_items.erase(it);
  }
  for (const StationRow& row : model.Rows()) {
    QTreeWidgetItem*& item = m_items[row.id];
    if (!item) {
      item = new QTreeWidgetItem(m_rows);
      item->setData(kCheck, Qt::UserRole, QVariant::fromValue<qulonglong>(row.id));
      item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
      auto* bar = new QProgressBar;
      bar->setRange(0, 100);
      bar->setFormat(QStringLiteral("%p%"));
      bar->setAlignment(Qt::AlignCenter);
      m_rows->setItemWidget(item, kProgress, bar);
      // The view shows every cell's widget as it lays the rows out: the button is hidden inside
      // a holder the view may show.
      auto* holder = new QWidget;
      auto* holderLayout = new QHBoxLayout(holder);
      holderLayout->setContentsMargins(0, 0, 0, 0);
      auto* again = new QPushButton(tr("Run again"));
      holderLayout->addWidget(again);
      const uint64_t id = row.id;
      connect(again, &QPushButton::clicked, this, [this, id] {
        if (m_imageOk && m_runner->Model().RunAgain(id)) Pump();
      });
      m_rows->setItemWidget(item, kAction, holder);
    }
    ShowRow(row, item);
  }
  const StationCounts c = model.Counts();
  m_counts->setText(tr("completed %1, failed %2, running %3").arg(c.completed).arg(c.failed).arg(c.running));
  m_run->setEnabled(m_imageOk);
  m_watch->setEnabled(m_imageOk && !model.Watching());
  m_stop->setEnabled(model.Watching() || c.running > 0);
  const QString watching = tr("watching: each handset is flashed as it is plugged in");
  if (model.Watching()) m_note->setText(watching);
  else if (m_note->text() == watching) m_note->clear();
}

void CStationWindow::ShowRow(const StationRow& row, QTreeWidgetItem* item) {
  const RowTone tone = row.Tone();
  item->setCheckState(kCheck, row.checked ? Qt::Checked : Qt::Unchecked);
  item->setText(kPort, PortName(row.device, m_runner->Setup().portsDir));
  item->setToolTip(kPort, Q(row.device));
  item->setText(kFacts, Q(row.facts));
  item->setToolTip(kFacts, Q(row.facts));
  item->setText(kPhase, Q(row.PhaseText()));
  item->setToolTip(kPhase, tone == RowTone::Failed ? T("failed in this phase") : QString());
  const QString state = RowStateText(row);
  item->setText(kResult, state);
  item->setToolTip(kResult, state);
  item->setForeground(kResult, tone == RowTone::Completed ? QBrush(kGreen) : tone == RowTone::Failed ? QBrush(kRed) : QBrush());
  QFont bold = item->font(kResult);
  bold.setBold(tone == RowTone::Completed || tone == RowTone::Failed || tone == RowTone::Waiting);
  item->setFont(kResult, bold);
  // The whole row in its state's tint.
  const QColor tint = RowTint(tone);
  for (int c = 0; c < kColumns; ++c) item->setBackground(c, tint.isValid() ? QBrush(tint) : QBrush());
  const double elapsed = row.Elapsed(m_runner->Now());
  item->setText(kTime, row.ran && !row.startPending ? Q(MinutesSeconds(elapsed)) : QString());
  if (auto* bar = qobject_cast<QProgressBar*>(m_rows->itemWidget(item, kProgress))) {
    bar->setValue(row.Percent());
    // Ended: green at 100 %, red where it stopped; the style's own colour while it runs.
    const QColor end = BarColour(tone);
    const QString sheet =
        end.isValid() ? QStringLiteral("QProgressBar { border: 1px solid #808080; border-radius: 2px; background: #ffffff; "
                                       "text-align: center; } QProgressBar::chunk { background-color: %1; }")
                            .arg(end.name())
                      : QString();
    if (bar->styleSheet() != sheet) bar->setStyleSheet(sheet);
  }
  if (auto* again = RunAgainButton(item)) again->setVisible(row.Failed() && row.present);
  item->setText(kUnit, Q(m_runner->UnitOf(row.id)));
}

void CStationWindow::OnScan() {
  const std::string unit = m_scan->text().trimmed().toStdString();
  m_scan->clear();
  if (unit.empty()) return;
  std::optional<uint64_t> selected;
  if (QTreeWidgetItem* item = m_rows->currentItem(); item && item->isSelected()) selected = IdOf(item);
  const auto row = m_runner->GiveUnit(unit, selected);
  const StationRow* r = row ? m_runner->Model().Find(*row) : nullptr;
  m_note->setText(r ? QString::fromUtf8(Tr("unit %1: %2")).arg(Q(unit), Q(r->device))
                    : QString::fromUtf8(Tr("unit %1: for the next handset that starts")).arg(Q(unit)));
  m_rows->clearSelection();
  Show();
}

void CStationWindow::OpenLog(uint64_t id) {
  const StationRow* row = m_runner->Model().Find(id);
  if (!row) return;
  auto it = m_logs.find(id);
  if (it == m_logs.end()) {
    auto* dialog = new QDialog(this);
    dialog->setWindowTitle(tr("Log: %1").arg(Q(row->device)));
    auto* view = new QTextEdit(dialog);
    view->setReadOnly(true);
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(view);
    dialog->resize(640, 360);
    connect(dialog, &QDialog::finished, this, [this, id] {
      const auto found = m_logs.find(id);
      if (found == m_logs.end()) return;
      found->second.dialog->deleteLater();
      m_logs.erase(found);
    });
    it = m_logs.emplace(id, LogWindow{dialog, view, 0, row->downloads}).first;
  }
  ShowLogs();
  it->second.dialog->show();
  it->second.dialog->raise();
}

QTextEdit* CStationWindow::LogViewOf(uint64_t id) const {
  const auto it = m_logs.find(id);
  return it == m_logs.end() ? nullptr : it->second.view;
}

void CStationWindow::ShowLogs() {
  for (auto& [id, w] : m_logs) {
    const StationRow* row = m_runner->Model().Find(id);
    if (!row) continue;
    if (row->downloads != w.download) {  // a new download: its own log
      w.view->clear();
      w.shown = 0;
      w.download = row->downloads;
    }
    for (; w.shown < row->log.size(); ++w.shown) w.view->append(LogLineHtml(row->log[w.shown]));
  }
}

void CStationWindow::closeEvent(QCloseEvent* event) {
  if (m_runner->AnyRunning()) {
    const auto answer = QMessageBox::question(
        this, tr("Tarvisel Station"),
        tr("Handsets are still being flashed. Closing ends their downloads. Close?"));
    if (answer != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    m_runner->EndAll();
  }
  event->accept();
}
