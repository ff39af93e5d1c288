#pragma once
// Answers the modal dialogs a test's window opens: each one that becomes the active modal
// widget is recorded and handed to the action for its kind. Without an action a message box
// gets its escape answer and any other dialog is rejected, so no test ever hangs on one.
#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

struct SeenBox {
  std::string text;
  std::string caption;
};

class CModalDriver : public QObject {
 public:
  CModalDriver();

  std::function<QMessageBox::StandardButton(QMessageBox&)> onMessageBox;
  std::function<void(QFileDialog&)> onFileDialog;
  std::function<void(QDialog&)> onOtherDialog;

  std::vector<SeenBox> boxes;
  std::vector<std::string> otherDialogs;  // class names
  int fileDialogs = 0;

  bool Saw(const std::string& text) const;

 private:
  void Poll();

  QTimer m_timer;
  QPointer<QWidget> m_handled;
};
