#pragma once
// The About box reached from the main window's system menu.
#include <QDialog>

class QLabel;
class QPushButton;

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  static constexpr int IDD = 100;

  explicit CAboutDlg(QWidget* parent = nullptr);

  QLabel* IconLabel() const { return m_icon; }
  QLabel* VersionLabel() const { return m_version; }
  QPushButton* OkButton() const { return m_ok; }

 private:
  QLabel* m_icon;
  QLabel* m_version;
  QPushButton* m_ok;
};
