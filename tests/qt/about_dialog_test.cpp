#include "AboutDialog.h"

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "DialogUnits.h"
#include "Images.h"

TEST(AboutDialog, ShowsCaptionVersionIconAndButton) {
  CAboutDlg dlg;
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Tarvisel 정보"));
  EXPECT_EQ(QFontInfo(dlg.font()).family(), QFontInfo(DialogFont(QStringLiteral("굴림"), 9)).family());
  EXPECT_EQ(dlg.VersionLabel()->text(), QStringLiteral("Tarvisel 버전 2.02"));
  EXPECT_EQ(dlg.VersionLabel()->textFormat(), Qt::PlainText);
  EXPECT_EQ(dlg.OkButton()->text(), QStringLiteral("확인"));
  EXPECT_TRUE(dlg.OkButton()->isDefault());

  const DialogUnitScale scale = ScaleOf(dlg.font());
  EXPECT_EQ(dlg.size(), DialogRect(scale, 0, 0, 235, 55).size());
  EXPECT_EQ(dlg.OkButton()->geometry(), DialogRect(scale, 178, 7, 50, 14));
  EXPECT_EQ(dlg.VersionLabel()->geometry(), DialogRect(scale, 40, 10, 119, 8));
  EXPECT_EQ(dlg.IconLabel()->pos(), DialogRect(scale, 11, 17, 20, 20).topLeft());
  EXPECT_EQ(dlg.IconLabel()->pixmap().toImage(), ApplicationIconPixmap().toImage());
  EXPECT_FALSE(dlg.IconLabel()->pixmap().isNull());
}

TEST(AboutDialog, ClosesWithButtonEnterAndEscape) {
  const struct { int key; int result; } cases[] = {{0, QDialog::Accepted}, {Qt::Key_Return, QDialog::Accepted},
                                                    {Qt::Key_Escape, QDialog::Rejected}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    CAboutDlg dlg;
    dlg.show();
    if (c.key) QTest::keyClick(&dlg, static_cast<Qt::Key>(c.key));
    else QTest::mouseClick(dlg.OkButton(), Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), c.result);
  }
}
