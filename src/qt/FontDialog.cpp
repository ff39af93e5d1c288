#include "FontDialog.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "DialogUnits.h"
#include "SpinButton.h"

namespace {

constexpr Qt::WindowFlags kModalFrame = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

void ShowWarningBox(QWidget* dialog, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text, QMessageBox::Ok, dialog);
  box.exec();
}

}  // namespace

CFontDialog::CFontDialog(CDlgFont& logic, QWidget* parent, ValidationMessageFn showMessage)
    : QDialog(parent, kModalFrame),
      m_logic(logic),
      m_showMessage(showMessage ? std::move(showMessage) : ValidationMessageFn(ShowWarningBox)),
      // Created in the template's tab order.
      m_ok(new QPushButton(tr("OK"), this)),
      m_cancel(new QPushButton(tr("Cancel"), this)),
      m_addressLabel(new QLabel(tr("Start Address :"), this)),
      m_countLabel(new QLabel(tr("Block Count   :"), this)),
      m_prefixLabel(new QLabel(QStringLiteral("0x"), this)),
      m_address(new QLineEdit(this)),
      m_count(new QLineEdit(this)),
      m_spin(new CSpinButton(this)) {
  setWindowTitle(tr("FONT DOWNLOAD"));
  setFont(DialogFont(QStringLiteral("System"), 10));
  const DialogUnitScale scale = ScaleOf(font());
  setFixedSize(DialogRect(scale, 0, 0, 114, 62).size());

  m_ok->setObjectName(QString::number(IDOK));
  m_cancel->setObjectName(QString::number(IDCANCEL));
  m_address->setObjectName(QString::number(IDC_FONT_ADDRESS));
  m_count->setObjectName(QString::number(IDC_FONT_COUNT));
  m_spin->setObjectName(QString::number(IDC_FONT_SPIN));

  m_ok->setGeometry(DialogRect(scale, 23, 41, 32, 14));
  m_cancel->setGeometry(DialogRect(scale, 59, 41, 32, 14));
  m_addressLabel->setGeometry(DialogRect(scale, 12, 8, 49, 13));
  m_countLabel->setGeometry(DialogRect(scale, 12, 22, 49, 13));
  m_prefixLabel->setGeometry(DialogRect(scale, 63, 8, 9, 13));
  m_address->setGeometry(DialogRect(scale, 72, 6, 30, 12));
  m_count->setGeometry(DialogRect(scale, 72, 22, 22, 12));
  m_spin->setGeometry(DialogRect(scale, 94, 22, 8, 12));

  // Template labels sit at the top of their box and take the text as it is.
  for (QLabel* label : {m_addressLabel, m_countLabel, m_prefixLabel}) {
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  }

  m_ok->setDefault(true);
  m_ok->setAutoDefault(true);
  m_cancel->setAutoDefault(true);
  m_address->setAlignment(Qt::AlignRight);
  setTabOrder(m_ok, m_cancel);
  setTabOrder(m_cancel, m_address);
  setTabOrder(m_address, m_count);

  connect(m_ok, &QPushButton::clicked, this, &CFontDialog::accept);
  connect(m_cancel, &QPushButton::clicked, this, &CFontDialog::reject);
  m_spin->SetBuddy(m_count);
  m_spin->SetDeltaPosHandler([this](int pos, int delta) { return m_logic.OnDeltaposSpin(*this, pos, delta); });

  m_logic.OnInitDialog(*this);
}

QWidget* CFontDialog::Item(int id) const {
  switch (id) {
    case IDOK: return m_ok;
    case IDCANCEL: return m_cancel;
    case IDC_FONT_ADDRESS: return m_address;
    case IDC_FONT_COUNT: return m_count;
    case IDC_FONT_SPIN: return m_spin;
    default: return nullptr;
  }
}

QLineEdit* CFontDialog::Edit(int id) const {
  if (id == IDC_FONT_ADDRESS) return m_address;
  if (id == IDC_FONT_COUNT) return m_count;
  return nullptr;
}

void CFontDialog::accept() { m_logic.OnOK(*this); }

void CFontDialog::reject() { m_logic.OnCancel(*this); }

std::string CFontDialog::GetItemText(int id) {
  const QLineEdit* edit = Edit(id);
  return edit ? edit->text().toStdString() : std::string();
}

void CFontDialog::SetItemText(int id, const std::string& text) {
  if (QLineEdit* edit = Edit(id)) edit->setText(QString::fromStdString(text));
}

void CFontDialog::LimitText(int id, int maxChars) {
  if (QLineEdit* edit = Edit(id)) edit->setMaxLength(maxChars);
}

void CFontDialog::SetSpinRange(int lo, int hi) { m_spin->SetRange(lo, hi); }

void CFontDialog::SetSpinPos(int pos) { m_spin->SetPos(pos); }

void CFontDialog::SetFocus(int id) {
  QWidget* item = Item(id);
  if (!item) return;
  item->setFocus(Qt::OtherFocusReason);
  // A field sent back for correction comes with its text selected, ready to be typed over.
  if (QLineEdit* edit = Edit(id)) edit->selectAll();
}

void CFontDialog::ShowValidationMessage(const std::string& text) {
  m_showMessage(this, QString::fromStdString(text));
}

void CFontDialog::EndDialog(int result) { done(result); }

int RunFontDialogModal(QWidget* parent, CDlgFont& logic) {
  CFontDialog dialog(logic, parent);
  return dialog.exec() == IDOK ? IDOK : IDCANCEL;
}
