#pragma once
// A push button drawn with images instead of its caption. The caption "Open" picks the
// images "OPENU" (up), "OPEND" (pressed) and "OPENF" (focused); the button is as large as
// its up image. Disabled, it shows the up image as it is.
#include <QAbstractButton>
#include <QPixmap>
#include <QString>

class CImageButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CImageButton(const QString& caption, QWidget* parent = nullptr);

  // All three images were found.
  bool HasImages() const;
  // The name of the image the button paints in its present state, e.g. "OPENF".
  QString ImageName() const;
  QPixmap Image() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QChar StateLetter() const;

  QString m_strBase;  // the caption in upper case
  QPixmap m_up;
  QPixmap m_down;
  QPixmap m_focus;
};
