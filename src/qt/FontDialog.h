#pragma once
// The "FONT DOWNLOAD" dialog's widgets over the toolkit-free CDlgFont logic.
#include <QDialog>
#include <QString>
#include <functional>

#include "DlgFont.h"

class QLabel;
class QLineEdit;
class QPushButton;
class CSpinButton;

class CFontDialog final : public QDialog, public CDlgFontView {
  Q_OBJECT

 public:
  // Shows a validation text over the dialog and returns when the user has answered it.
  using ValidationMessageFn = std::function<void(QWidget* dialog, const QString& text)>;

  // The logic initialises the controls here. Without showMessage a modal warning box with the
  // application's name as caption is used.
  explicit CFontDialog(CDlgFont& logic, QWidget* parent = nullptr, ValidationMessageFn showMessage = {});

  // The control with a template id (IDOK, IDCANCEL, 2038, 2039, 1025), or null.
  QWidget* Item(int id) const;
  QPushButton* OkButton() const { return m_ok; }
  QPushButton* CancelButton() const { return m_cancel; }
  QLineEdit* AddressEdit() const { return m_address; }
  QLineEdit* CountEdit() const { return m_count; }
  CSpinButton* Spin() const { return m_spin; }

  // OK and Enter go to the logic's OnOK, Cancel, Escape and closing to its OnCancel; the
  // logic decides whether the dialog ends.
  void accept() override;
  void reject() override;

  // CDlgFontView
  std::string GetItemText(int id) override;
  void SetItemText(int id, const std::string& text) override;
  void LimitText(int id, int maxChars) override;
  void SetSpinRange(int lo, int hi) override;
  void SetSpinPos(int pos) override;
  void SetFocus(int id) override;
  void ShowValidationMessage(const std::string& text) override;
  void EndDialog(int result) override;

 private:
  QLineEdit* Edit(int id) const;

  CDlgFont& m_logic;
  ValidationMessageFn m_showMessage;
  QPushButton* m_ok;
  QPushButton* m_cancel;
  QLabel* m_addressLabel;
  QLabel* m_countLabel;
  QLabel* m_prefixLabel;
  QLineEdit* m_address;
  QLineEdit* m_count;
  CSpinButton* m_spin;
};

// Runs the dialog modally over logic; IDOK or IDCANCEL.
int RunFontDialogModal(QWidget* parent, CDlgFont& logic);
