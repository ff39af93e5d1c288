#include "TextProgressWidget.h"

#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>

namespace {

QRect ToQRect(const CProgressRect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }

}  // namespace

CTextProgressWidget::CTextProgressWidget(QWidget* parent)
    : QWidget(parent),
      m_ctrl(ToBgr(palette().color(QPalette::Highlight)), ToBgr(palette().color(QPalette::Base)),
             this) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
}

QColor CTextProgressWidget::ToQColor(uint32_t bgr) {
  return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

uint32_t CTextProgressWidget::ToBgr(const QColor& color) {
  const QColor rgb = color.toRgb();
  return static_cast<uint32_t>(rgb.red()) | static_cast<uint32_t>(rgb.green()) << 8 |
         static_cast<uint32_t>(rgb.blue()) << 16;
}

QSize CTextProgressWidget::sizeHint() const {
  return QSize(200, fontMetrics().height() + 6);
}

void CTextProgressWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  m_ctrl.OnSize();
}

void CTextProgressWidget::paintEvent(QPaintEvent* event) {
  ++m_nPaints;
  const CProgressPaintPlan plan = m_ctrl.PaintPlan(width(), height());
  if (!plan.bDraw) return;

  const QRect area = event->rect();
  if (area.isEmpty()) return;
  const qreal dpr = devicePixelRatioF();
  QImage buffer((QSizeF(area.size()) * dpr).toSize(), QImage::Format_RGB32);
  buffer.setDevicePixelRatio(dpr);
  {
    QPainter p(&buffer);
    // Same coordinates as on the widget; what falls outside the paint area is dropped.
    p.translate(-area.topLeft());
    const QRect bar = ToQRect(plan.rcBar);
    const QRect back = ToQRect(plan.rcBack);
    if (!bar.isEmpty()) p.fillRect(bar, ToQColor(plan.crBar));
    if (!back.isEmpty()) p.fillRect(back, ToQColor(plan.crBack));
    if (plan.bShowText) {
      const QString text = QString::fromStdString(plan.strText);
      const QRect client = ToQRect(plan.rcClient);
      p.setFont(font());
      // Centred in the whole control both times, so the halves meet exactly at the bar's edge.
      const int flags = Qt::AlignCenter | Qt::TextSingleLine;
      if (!bar.isEmpty()) {
        p.setClipRect(bar);
        p.setPen(ToQColor(plan.crBarText));
        p.drawText(client, flags, text);
      }
      if (!back.isEmpty()) {
        p.setClipRect(back);
        p.setPen(ToQColor(plan.crBackText));
        p.drawText(client, flags, text);
      }
    }
  }
  QPainter screen(this);
  screen.drawImage(area.topLeft(), buffer);
}
