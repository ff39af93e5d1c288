#include "ImageButton.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "Images.h"

CImageButton::CImageButton(const QString& caption, QWidget* parent)
    : QAbstractButton(parent),
      m_strBase(caption.toUpper()),
      m_up(ButtonImage(m_strBase + QLatin1Char('U'))),
      m_down(ButtonImage(m_strBase + QLatin1Char('D'))),
      m_focus(ButtonImage(m_strBase + QLatin1Char('F'))) {
  // The caption stays the button's text for accessibility and mnemonics; it is never drawn
  // while the images are there.
  setText(caption);
  setFocusPolicy(Qt::StrongFocus);
  if (!m_up.isNull()) setFixedSize(m_up.deviceIndependentSize().toSize());
}

bool CImageButton::HasImages() const { return !m_up.isNull() && !m_down.isNull() && !m_focus.isNull(); }

QChar CImageButton::StateLetter() const {
  if (!isEnabled()) return QLatin1Char('U');
  if (isDown()) return QLatin1Char('D');
  if (hasFocus()) return QLatin1Char('F');
  return QLatin1Char('U');
}

QString CImageButton::ImageName() const { return m_strBase + StateLetter(); }

QPixmap CImageButton::Image() const {
  const QChar letter = StateLetter();
  const QPixmap& chosen = letter == QLatin1Char('D') ? m_down : letter == QLatin1Char('F') ? m_focus : m_up;
  // a missing pressed or focused image falls back to the up image
  return chosen.isNull() ? m_up : chosen;
}

QSize CImageButton::sizeHint() const {
  if (!m_up.isNull()) return m_up.deviceIndependentSize().toSize();
  // no images: an ordinary push button with the caption
  QStyleOptionButton option;
  option.initFrom(this);
  option.text = text();
  const QSize textSize = fontMetrics().size(Qt::TextShowMnemonic, text());
  return style()->sizeFromContents(QStyle::CT_PushButton, &option, textSize, this);
}

QSize CImageButton::minimumSizeHint() const { return sizeHint(); }

void CImageButton::paintEvent(QPaintEvent*) {
  const QPixmap image = Image();
  if (!image.isNull()) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, image);
    return;
  }
  QStylePainter painter(this);
  QStyleOptionButton option;
  option.initFrom(this);
  option.text = text();
  if (isDown()) option.state |= QStyle::State_Sunken;
  else option.state |= QStyle::State_Raised;
  painter.drawControl(QStyle::CE_PushButton, option);
}
