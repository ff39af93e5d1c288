#include "StationWindow.h"

#include <unistd.h>

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>
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

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The main window's log colours: errors red, steps black, the rest blue.
QString LogColour(const std::string& kind) {
  if (kind == "error" || kind == "alert" || kind == "warning") return QStringLiteral("#ff0000");
  if (kind == "step" || kind == "message" || kind == "result") return QStringLiteral("#000000");
  return QStringLiteral("#0000ff");
}

QString LogLineHtml(const StationLogEntry& e) {
  return QStringLiteral("<span style=\"color:#808080\">%1</span> <b style=\"color:%2\">%3</b>")
      .arg(Q(e.stamp).toHtmlEscaped(), LogColour(e.kind), Q(e.text).toHtmlEscaped());
}

}  // namespace

StationDialogs DefaultStationDialogs() {
  StationDialogs d;
  d.openImage = [](QWidget* parent) -> std::optional<QString> {
    const QString path = QFileDialog::getOpenFileName(parent, QStringLiteral("Open"), QString(),
                                                      QStringLiteral("Image (*.bin);;All files (*)"));
    if (path.isEmpty()) return std::nullopt;
    return path;
  };
  d.portPath = [](QWidget* parent) -> std::optional<QString> {
    bool ok = false;
    const QString path = QInputDialog::getText(parent, QStringLiteral("Add port"),
                                               QStringLiteral("Path of the serial port (a tty, a pty of the simulator):"),
                                               QLineEdit::Normal, QStringLiteral("/dev/"), &ok);
    if (!ok || path.trimmed().isEmpty()) return std::nullopt;
    return path.trimmed();
  };
  d.yesToAll = [](QWidget* parent, const QString& question) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tarvisel Station"), question, QMessageBox::NoButton, parent);
    QPushButton* yes = box.addButton(QStringLiteral("Yes to all"), QMessageBox::YesRole);
    box.addButton(QMessageBox::No);
    box.exec();
    return box.clickedButton() == yes;
  };
  return d;
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
  setWindowTitle(QStringLiteral("Tarvisel Station"));
  Build();
  std::string error;
  if (!m_runner->Start(error))
    m_note->setText(QStringLiteral("Ports are not followed: %1").arg(Q(error)));
  m_timer = new QTimer(this);
  connect(m_timer, &QTimer::timeout, this, &CStationWindow::Pump);
  m_timer->start(kPumpMs);
  ShowToday();
  Show();
}

CStationWindow::~CStationWindow() = default;

void CStationWindow::Build() {
  auto* top = new QHBoxLayout;
  m_open = new QPushButton(QStringLiteral("Open"));
  m_imageInfo = new QLabel(QStringLiteral("no image"));
  m_type = new QComboBox;
  for (const auto& [name, index] : kTypes) m_type->addItem(name, index);
  m_speed = new QComboBox;
  m_speed->addItems({QStringLiteral("57600"), QStringLiteral("115200")});
  m_speed->setCurrentIndex(1);
  m_answer = new QComboBox;
  m_answer->addItems({QStringLiteral("Ask once for all"), QStringLiteral("Yes"), QStringLiteral("No")});
  m_answer->setToolTip(QStringLiteral("The answer when a handset's version differs from the image's"));
  top->addWidget(m_open);
  top->addWidget(m_imageInfo, 1);
  top->addWidget(new QLabel(QStringLiteral("Type")));
  top->addWidget(m_type);
  top->addWidget(new QLabel(QStringLiteral("Speed")));
  top->addWidget(m_speed);
  top->addWidget(new QLabel(QStringLiteral("Version differs")));
  top->addWidget(m_answer);

  m_rows = new QTreeWidget;
  m_rows->setColumnCount(kColumns);
  m_rows->setHeaderLabels({QString(), QStringLiteral("Port"), QStringLiteral("Adapter"), QStringLiteral("Progress"),
                           QStringLiteral("Phase"), QStringLiteral("Result"), QStringLiteral("Time"), QString(),
                           QString::fromUtf8(Tr("Unit"))});
  m_rows->setRootIsDecorated(false);
  m_rows->setUniformRowHeights(true);
  // The end of a port's name tells adapters apart (the serial number, the port).
  m_rows->setTextElideMode(Qt::ElideLeft);
  m_rows->header()->setStretchLastSection(false);
  m_rows->header()->setSectionResizeMode(kPort, QHeaderView::Stretch);
  m_rows->setColumnWidth(kCheck, 28);
  m_rows->setColumnWidth(kFacts, 160);
  m_rows->setColumnWidth(kProgress, 130);
  m_rows->setColumnWidth(kPhase, 110);
  m_rows->setColumnWidth(kResult, 170);
  m_rows->setColumnWidth(kTime, 50);
  m_rows->setColumnWidth(kAction, 90);
  m_rows->setColumnWidth(kUnit, 130);

  auto* buttons = new QHBoxLayout;
  m_add = new QPushButton(QStringLiteral("Add port..."));
  m_run = new QPushButton(QStringLiteral("Run"));
  m_watch = new QPushButton(QStringLiteral("Watch"));
  m_stop = new QPushButton(QStringLiteral("Stop"));
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
  layout->addWidget(m_rows, 1);
  layout->addLayout(buttons);
  layout->addLayout(foot);
  resize(900, 360);

  connect(m_open, &QPushButton::clicked, this, &CStationWindow::OnOpen);
  connect(m_add, &QPushButton::clicked, this, &CStationWindow::OnAdd);
  connect(m_run, &QPushButton::clicked, this, &CStationWindow::OnRun);
  connect(m_watch, &QPushButton::clicked, this, &CStationWindow::OnWatch);
  connect(m_stop, &QPushButton::clicked, this, &CStationWindow::OnStop);
  connect(m_scan, &QLineEdit::returnPressed, this, &CStationWindow::OnScan);
  connect(m_type, &QComboBox::currentIndexChanged, this, [this] {
    m_runner->SetType(m_type->currentData().toInt());
    if (!m_runner->Image().empty()) TakeImage(Q(m_runner->Image()));
  });
  connect(m_speed, &QComboBox::currentIndexChanged, this, [this](int i) { m_runner->SetSpeedIndex(i); });
  connect(m_answer, &QComboBox::currentIndexChanged, this, [this](int i) {
    m_runner->Model().SetAnswer(i == 1 ? StationAnswer::Yes : i == 2 ? StationAnswer::No : StationAnswer::Ask);
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
    QAction* log = menu.addAction(QStringLiteral("Open log"));
    QAction* again = menu.addAction(QStringLiteral("Run again"));
    again->setEnabled(m_imageOk && row->Failed() && row->present);
    QAction* remove = menu.addAction(QStringLiteral("Remove"));
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
  if (!image.ok) {
    m_imageInfo->setText(QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), Q(image.why)));
    Show();
    return false;
  }
  m_runner->SetImage(path.toStdString());
  // Size and version as the main window shows them.
  m_imageInfo->setText(QStringLiteral("%1   Size %2   Version %3")
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
  AskPendingQuestion();
}

void CStationWindow::AskPendingQuestion() {
  const auto question = m_runner->Model().PendingQuestion();
  if (!question || m_asking) return;
  // The timer goes on while the box is open: the other handsets keep being read.
  m_asking = true;
  const bool yes = m_dialogs.yesToAll(this, Q(*question));
  m_asking = false;
  m_runner->Model().AnswerQuestion(yes);
  QSignalBlocker block(m_answer);
  m_answer->setCurrentIndex(yes ? 1 : 2);
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
      auto* again = new QPushButton(QStringLiteral("Run again"));
      const uint64_t id = row.id;
      connect(again, &QPushButton::clicked, this, [this, id] {
        if (m_imageOk && m_runner->Model().RunAgain(id)) Pump();
      });
      m_rows->setItemWidget(item, kAction, again);
    }
    ShowRow(row, item);
  }
  const StationCounts c = model.Counts();
  m_counts->setText(QStringLiteral("completed %1, failed %2, running %3").arg(c.completed).arg(c.failed).arg(c.running));
  m_run->setEnabled(m_imageOk);
  m_watch->setEnabled(m_imageOk && !model.Watching());
  m_stop->setEnabled(model.Watching() || c.running > 0);
  if (model.Watching()) m_note->setText(QStringLiteral("watching: each handset is flashed as it is plugged in"));
  else if (m_note->text().startsWith(QStringLiteral("watching"))) m_note->clear();
}

void CStationWindow::ShowRow(const StationRow& row, QTreeWidgetItem* item) {
  item->setCheckState(kCheck, row.checked ? Qt::Checked : Qt::Unchecked);
  item->setText(kPort, Q(row.device));
  item->setToolTip(kPort, Q(row.device));
  item->setText(kFacts, Q(row.facts));
  item->setToolTip(kFacts, Q(row.facts));
  item->setText(kPhase, Q(row.PhaseText()));
  item->setText(kResult, Q(row.ResultText()));
  const RowTone tone = row.Tone();
  item->setForeground(kResult, tone == RowTone::Completed ? QBrush(kGreen) : tone == RowTone::Failed ? QBrush(kRed) : QBrush());
  QFont bold = item->font(kResult);
  bold.setBold(tone == RowTone::Completed || tone == RowTone::Failed);
  item->setFont(kResult, bold);
  const double elapsed = row.Elapsed(m_runner->Now());
  item->setText(kTime, row.ran && !row.startPending ? Q(MinutesSeconds(elapsed)) : QString());
  if (auto* bar = qobject_cast<QProgressBar*>(m_rows->itemWidget(item, kProgress))) bar->setValue(row.Percent());
  if (auto* again = m_rows->itemWidget(item, kAction)) again->setVisible(row.Failed() && row.present);
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
    dialog->setWindowTitle(QStringLiteral("Log: %1").arg(Q(row->device)));
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
        this, QStringLiteral("Tarvisel Station"),
        QStringLiteral("Handsets are still being flashed. Closing ends their downloads. Close?"));
    if (answer != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    m_runner->EndAll();
  }
  event->accept();
}
