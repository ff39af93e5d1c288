#include "SpinButton.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>

CSpinButton::CSpinButton(QWidget* parent)
    : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this)) {
  for (QToolButton* button : {m_up, m_down}) {
    button->setFocusPolicy(Qt::NoFocus);  // the buddy keeps the keyboard
    button->setAutoRepeat(true);
  }
  m_up->setArrowType(Qt::UpArrow);
  m_down->setArrowType(Qt::DownArrow);
  m_up->setObjectName(QStringLiteral("up"));
  m_down->setObjectName(QStringLiteral("down"));
  connect(m_up, &QToolButton::pressed, this, &CSpinButton::FocusBuddy);
  connect(m_down, &QToolButton::pressed, this, &CSpinButton::FocusBuddy);
  connect(m_up, &QToolButton::clicked, this, [this] { Step(+1); });
  connect(m_down, &QToolButton::clicked, this, [this] { Step(-1); });
}

void CSpinButton::FocusBuddy() {
  if (!m_buddy) return;
  m_buddy->setFocus(Qt::OtherFocusReason);
  m_buddy->selectAll();
}

void CSpinButton::SetRange(int lo, int hi) {
  m_lo = std::min(lo, hi);
  m_hi = std::max(lo, hi);
  m_pos = std::clamp(m_pos, m_lo, m_hi);
}

void CSpinButton::SetPos(int pos) { m_pos = std::clamp(pos, m_lo, m_hi); }

void CSpinButton::SetBuddy(QLineEdit* buddy) {
  if (m_buddy) m_buddy->removeEventFilter(this);
  m_buddy = buddy;
  if (m_buddy) m_buddy->installEventFilter(this);
}

void CSpinButton::Step(int delta) {
  if (m_onDeltaPos && m_onDeltaPos(m_pos, delta) != 0) return;
  // Computed wide so that a range near the int limits cannot overflow.
  m_pos = static_cast<int>(std::clamp<long long>(static_cast<long long>(m_pos) + delta, m_lo, m_hi));
}

bool CSpinButton::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_buddy && event->type() == QEvent::KeyPress && isEnabled()) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
      if (key->key() == Qt::Key_Up) {
        Step(+1);
        return true;
      }
      if (key->key() == Qt::Key_Down) {
        Step(-1);
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void CSpinButton::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int upHeight = height() / 2;
  m_up->setGeometry(0, 0, width(), upHeight);
  m_down->setGeometry(0, upHeight, width(), height() - upHeight);
}
