#include "AboutDialog.h"

#include <QLabel>
#include <QPushButton>

#include "DialogUnits.h"
#include "Images.h"

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_icon(new QLabel(this)),
      m_version(new QLabel(this)),
      m_ok(new QPushButton(tr("확인"), this)) {
  setWindowTitle(tr("Tarvisel 정보"));
  setFont(DialogFont(QStringLiteral("굴림"), 9));
  const DialogUnitScale scale = ScaleOf(font());
  setFixedSize(DialogRect(scale, 0, 0, 235, 55).size());

  // An icon control takes the size of its icon; the template gives only where it starts.
  const QPixmap icon = ApplicationIconPixmap();
  const QRect iconRect = DialogRect(scale, 11, 17, 20, 20);
  m_icon->setPixmap(icon);
  m_icon->setGeometry(icon.isNull() ? iconRect : QRect(iconRect.topLeft(), icon.size()));

  // Plain text: an '&' shows as itself, not as a mnemonic.
  m_version->setTextFormat(Qt::PlainText);
  m_version->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_version->setText(tr("Tarvisel 버전 2.02"));
  m_version->setGeometry(DialogRect(scale, 40, 10, 119, 8));

  m_ok->setObjectName(QStringLiteral("1"));
  m_ok->setDefault(true);
  m_ok->setAutoDefault(true);
  m_ok->setGeometry(DialogRect(scale, 178, 7, 50, 14));
  m_ok->setFocus(Qt::OtherFocusReason);
  connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
}
