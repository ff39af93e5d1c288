#include "FontDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "DialogUnits.h"
#include "SpinButton.h"

namespace {

struct Shown {
  CDlgFont logic;
  QStringList messages;
  CFontDialog dlg{logic, nullptr, [this](QWidget*, const QString& text) { messages << text; }};
  Shown() { dlg.show(); }

  QLineEdit* Edit(int id) const { return dlg.findChild<QLineEdit*>(QString::number(id)); }
  void Retype(int id, const QString& text) {
    Edit(id)->selectAll();
    QTest::keyClick(Edit(id), Qt::Key_Delete);
    QTest::keyClicks(Edit(id), text);
  }
  void Ok() { QTest::mouseClick(dlg.OkButton(), Qt::LeftButton); }
};

TEST(FontDialog, OpensAtDialogUnitPositionsWithFocusOnOkInTabOrder) {
  Shown s;
  EXPECT_EQ(s.dlg.windowTitle(), "FONT DOWNLOAD");
  const DialogUnitScale scale = ScaleOf(s.dlg.font());
  EXPECT_EQ(s.dlg.size(), DialogRect(scale, 0, 0, 114, 62).size());
  EXPECT_EQ(s.dlg.OkButton()->geometry(), DialogRect(scale, 23, 41, 32, 14));
  EXPECT_EQ(s.dlg.AddressEdit()->geometry(), DialogRect(scale, 72, 6, 30, 12));
  EXPECT_EQ(s.dlg.Spin()->geometry(), DialogRect(scale, 94, 22, 8, 12));
  EXPECT_TRUE(s.dlg.AddressEdit()->alignment() & Qt::AlignRight);
  EXPECT_EQ(s.Edit(IDC_FONT_COUNT)->text(), "1");
  EXPECT_EQ(s.Edit(IDC_FONT_ADDRESS)->text(), "");

  EXPECT_EQ(s.dlg.focusWidget(), s.dlg.OkButton());
  for (const QWidget* next : {s.dlg.Item(IDCANCEL), s.dlg.Item(IDC_FONT_ADDRESS), s.dlg.Item(IDC_FONT_COUNT),
                              s.dlg.Item(IDOK)}) {
    QTest::keyClick(s.dlg.focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(s.dlg.focusWidget(), next);
  }
}

TEST(FontDialog, TypedAddressIsConvertedOnOk) {
  const struct { const char* typed; const char* kept; uint32_t address; } cases[] = {
      {"0", "0", 0}, {"FFFFFF", "FFFFFF", 0xFFFFFF}, {"1a2B", "1a2B", 0x1A2B},
      {"1234567", "123456", 0x123456},  // the seventh character is refused
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    Shown s;
    s.Retype(IDC_FONT_ADDRESS, c.typed);
    EXPECT_EQ(s.Edit(IDC_FONT_ADDRESS)->text(), c.kept);
    s.Ok();
    EXPECT_FALSE(s.dlg.isVisible());
    EXPECT_EQ(s.dlg.result(), IDOK);
    EXPECT_EQ(s.logic.GetFontAddress(), c.address);
    EXPECT_EQ(s.logic.GetFontSize(), 65536u);
    EXPECT_TRUE(s.messages.empty());
  }
}

TEST(FontDialog, BadCountIsRefusedOnceAndFocusGoesToTheCount) {
  for (const char* count : {"0", "101", "abc"}) {
    SCOPED_TRACE(count);
    Shown s;
    s.Retype(IDC_FONT_ADDRESS, "200000");
    s.Retype(IDC_FONT_COUNT, count);
    s.Ok();
    EXPECT_EQ(s.messages.size(), 1);
    EXPECT_TRUE(s.dlg.isVisible());
    EXPECT_EQ(s.dlg.focusWidget(), s.dlg.CountEdit());
    QTest::keyClicks(s.dlg.CountEdit(), "100");  // types over the selected text
    s.Ok();
    EXPECT_EQ(s.messages.size(), 1);
    EXPECT_EQ(s.dlg.result(), IDOK);
    EXPECT_EQ(s.logic.GetFontSize(), 6553600u);
  }
}

TEST(FontDialog, AnAddressThatIsNotHexadecimalIsRefusedWithFocusOnIt) {
  // Left empty it would be address 0, over the start of the flash.
  for (const char* typed : {"12G4", "0x12", "zz", ""}) {
    SCOPED_TRACE(typed);
    Shown s;
    s.Retype(IDC_FONT_ADDRESS, typed);
    s.Ok();
    ASSERT_EQ(s.messages.size(), 1);
    EXPECT_TRUE(s.dlg.isVisible());
    EXPECT_EQ(s.dlg.focusWidget(), s.dlg.AddressEdit());
    s.Retype(IDC_FONT_ADDRESS, "2000");
    s.Ok();
    EXPECT_EQ(s.dlg.result(), IDOK);
    EXPECT_EQ(s.logic.GetFontAddress(), 0x2000u);
  }
}

TEST(FontDialog, SpinStepsFromItsOwnPositionWithinRange) {
  Shown s;
  s.Retype(IDC_FONT_ADDRESS, "AB");
  QTest::mouseClick(s.dlg.Spin()->DownButton(), Qt::LeftButton);
  EXPECT_EQ(s.Edit(IDC_FONT_COUNT)->text(), "1");
  EXPECT_EQ(s.dlg.focusWidget(), s.dlg.CountEdit());

  s.Retype(IDC_FONT_COUNT, "50");  // typed text does not move the control
  QTest::mouseClick(s.dlg.Spin()->UpButton(), Qt::LeftButton);
  EXPECT_EQ(s.Edit(IDC_FONT_COUNT)->text(), "2");
  for (int i = 0; i < 120; ++i) QTest::keyClick(s.dlg.CountEdit(), Qt::Key_Up);
  EXPECT_EQ(s.Edit(IDC_FONT_COUNT)->text(), "100");
  EXPECT_EQ(s.dlg.Spin()->Pos(), 100);
  QTest::keyClick(s.dlg.CountEdit(), Qt::Key_Down);
  s.Ok();
  EXPECT_EQ(s.logic.GetFontSize(), 99u << 16);
  EXPECT_EQ(s.logic.GetFontAddress(), 0xABu);
}

TEST(FontDialog, ModalRunEndsWithEnterEscapeOrClose) {
  const struct { int key; int result; } cases[] = {
      {Qt::Key_Return, IDOK}, {Qt::Key_Escape, IDCANCEL}, {0, IDCANCEL}};  // 0: the window is closed
  for (const auto& c : cases) {
    CDlgFont logic;
    QTimer::singleShot(0, [key = c.key] {
      auto* dlg = qobject_cast<CFontDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dlg, nullptr);
      dlg->AddressEdit()->setText("200000");
      if (key) QTest::keyClick(dlg, static_cast<Qt::Key>(key));
      else dlg->close();
    });
    EXPECT_EQ(RunFontDialogModal(nullptr, logic), c.result);
    EXPECT_EQ(logic.GetFontSize(), c.result == IDOK ? 65536u : 0u);
  }
}

TEST(FontDialog, ModalRunShowsTheWarningBoxOverTheDialog) {
  CDlgFont logic;
  QString warning;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<CFontDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dlg, nullptr);
    dlg->CountEdit()->setText("abc");
    QTimer::singleShot(0, [&warning, dlg] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        EXPECT_EQ(box->parentWidget(), dlg);
        warning = box->text();
        box->accept();
      }
      QTimer::singleShot(0, [dlg] { QTest::keyClick(dlg, Qt::Key_Escape); });
    });
    QTest::keyClick(dlg, Qt::Key_Return);
  });
  EXPECT_EQ(RunFontDialogModal(nullptr, logic), IDCANCEL);
  EXPECT_FALSE(warning.isEmpty());
}

}  // namespace
