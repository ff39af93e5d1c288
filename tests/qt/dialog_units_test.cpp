#include "DialogUnits.h"

#include <gtest/gtest.h>

#include <QFontInfo>

TEST(DialogUnits, ConvertsByQuarterWidthAndEighthHeight) {
  const DialogUnitScale scale{6, 12};
  EXPECT_EQ(DialogRect(scale, 7, 125, 256, 14), QRect(11, 188, 384, 21));
  // rounded like the platform: 14 * 6 / 4 = 21, 17 * 12 / 8 = 25.5 -> 26
  EXPECT_EQ(DialogRect(scale, 193, 8, 14, 17), QRect(290, 12, 21, 26));
  EXPECT_EQ(DialogX(scale, 0), 0);
}

TEST(DialogUnits, KoreanDialogFontFallsBackToAnInstalledKoreanFont) {
  const QFont font = DialogFont(QStringLiteral("굴림"), 9);
  EXPECT_EQ(font.pointSize(), 9);
  const QFontInfo info(font);
  EXPECT_TRUE(info.family().contains(QStringLiteral("Nanum"), Qt::CaseInsensitive) ||
              info.family().contains(QStringLiteral("Gulim"), Qt::CaseInsensitive))
      << info.family().toStdString();
  const DialogUnitScale scale = ScaleOf(font);
  EXPECT_GT(scale.baseX, 2);
  EXPECT_GT(scale.baseY, scale.baseX);
}
