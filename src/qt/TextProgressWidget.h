#pragma once
// The text progress bar as a widget: CTextProgressCtrl decides, this draws. Every pixel is
// painted through one off-screen image, so no background is erased and nothing flickers.
#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

#include "Comm/TextProgressCtrl.h"

class CTextProgressWidget : public QWidget, private CProgressSurface {
  Q_OBJECT

 public:
  // The colours come from the palette once, here: Highlight for the bar and the text over the
  // unfilled part, Base for the unfilled part and the text over the bar.
  explicit CTextProgressWidget(QWidget* parent = nullptr);

  void SetRange(int lower, int upper) { m_ctrl.SetRange(lower, upper); }
  // Repaints at once, and only when the bar's edge moves by a pixel or more.
  int SetPos(int pos) { return m_ctrl.SetPos(pos); }
  void EnableText(bool on) { m_ctrl.EnableText(on); }
  // The text shown instead of the percentage (UTF-8); empty or null shows the percentage again.
  void SetWindowText(const char* utf8) { m_ctrl.OnSetText(utf8); }
  void SetWindowText(const std::string& utf8) { m_ctrl.OnSetText(utf8.c_str()); }
  void SetWindowText(const QString& text) { SetWindowText(text.toStdString()); }
  QString WindowText() const { return QString::fromStdString(m_ctrl.GetText()); }

  CTextProgressCtrl& Ctrl() { return m_ctrl; }
  const CTextProgressCtrl& Ctrl() const { return m_ctrl; }

  // Paint events handled so far, drawn or not.
  int PaintCount() const { return m_nPaints; }

  static QColor ToQColor(uint32_t bgr);
  static uint32_t ToBgr(const QColor& color);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool HasWindow() const override { return true; }
  int ClientWidth() const override { return width(); }
  void RedrawNow() override { repaint(); }
  void Invalidate() override { update(); }

  CTextProgressCtrl m_ctrl;
  int m_nPaints = 0;
};
