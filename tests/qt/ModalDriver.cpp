#include "ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>

CModalDriver::CModalDriver() {
  m_timer.setInterval(5);
  connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
  m_timer.start();
}

bool CModalDriver::Saw(const std::string& text) const {
  for (const SeenBox& box : boxes)
    if (box.text == text) return true;
  return false;
}

void CModalDriver::Poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (!modal || modal == m_handled || !modal->isVisible()) return;
  m_handled = modal;
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    boxes.push_back({box->text().toStdString(), box->windowTitle().toStdString()});
    QAbstractButton* button = box->escapeButton();
    if (onMessageBox) button = box->button(onMessageBox(*box));
    if (button) {
      button->click();
    } else {
      box->reject();
    }
    return;
  }
  if (auto* files = qobject_cast<QFileDialog*>(modal)) {
    ++fileDialogs;
    if (onFileDialog) {
      onFileDialog(*files);
    } else {
      files->reject();
    }
    return;
  }
  if (auto* dialog = qobject_cast<QDialog*>(modal)) {
    otherDialogs.push_back(dialog->metaObject()->className());
    if (onOtherDialog) {
      onOtherDialog(*dialog);
    } else {
      dialog->reject();
    }
  }
}
