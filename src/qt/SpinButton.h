#pragma once
// An up-down control: two stacked arrow buttons over a position within a range. Before each
// step it asks its owner, which may refuse it; it never writes its buddy's text.
#include <QWidget>
#include <functional>

class QLineEdit;
class QToolButton;

class CSpinButton : public QWidget {
  Q_OBJECT

 public:
  // Asked with the current position and the step (+1 or -1) before the step is taken; a
  // non-zero answer keeps the position where it is.
  using DeltaPosHandler = std::function<long(int pos, int delta)>;

  explicit CSpinButton(QWidget* parent);

  void SetRange(int lo, int hi);
  void SetPos(int pos);
  int Pos() const { return m_pos; }
  int Low() const { return m_lo; }
  int High() const { return m_hi; }

  void SetDeltaPosHandler(DeltaPosHandler handler) { m_onDeltaPos = std::move(handler); }
  // Up and Down in the buddy step the control; clicks on the arrows give the buddy the focus.
  void SetBuddy(QLineEdit* buddy);

  // A step as the user makes it: notify, then move within the range.
  void Step(int delta);

  QToolButton* UpButton() const { return m_up; }
  QToolButton* DownButton() const { return m_down; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FocusBuddy();

  QToolButton* m_up;
  QToolButton* m_down;
  QLineEdit* m_buddy = nullptr;
  DeltaPosHandler m_onDeltaPos;
  int m_lo = 0;
  int m_hi = 100;
  int m_pos = 0;
};
