#include "DialogUnits.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace {
int MulDiv(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  // rounded half away from zero, as the platform's MulDiv
  return static_cast<int>(product >= 0 ? (product + denominator / 2) / denominator
                                       : (product - denominator / 2) / denominator);
}

QString FirstInstalled(const QStringList& families) {
  const QStringList installed = QFontDatabase::families();
  for (const QString& family : families)
    if (installed.contains(family, Qt::CaseInsensitive)) return family;
  return {};
}
}  // namespace

DialogUnitScale ScaleOf(const QFont& font) {
  const QFontMetrics metrics(font);
  static const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  DialogUnitScale scale;
  scale.baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
  scale.baseY = metrics.height();
  if (scale.baseX < 1) scale.baseX = 1;
  if (scale.baseY < 1) scale.baseY = 1;
  return scale;
}

int DialogX(const DialogUnitScale& scale, int units) { return MulDiv(units, scale.baseX, 4); }
int DialogY(const DialogUnitScale& scale, int units) { return MulDiv(units, scale.baseY, 8); }

QRect DialogRect(const DialogUnitScale& scale, int x, int y, int width, int height) {
  return QRect(DialogX(scale, x), DialogY(scale, y), DialogX(scale, width), DialogY(scale, height));
}

QFont DialogFont(const QString& family, int points) {
  QStringList candidates{family};
  if (family == QStringLiteral("굴림"))
    candidates << QStringLiteral("Gulim") << QStringLiteral("NanumGothic") << QStringLiteral("Nanum Gothic")
               << QStringLiteral("NanumBarunGothic") << QStringLiteral("Noto Sans CJK KR")
               << QStringLiteral("UnDotum");
  QString chosen = FirstInstalled(candidates);
  QFont font = chosen.isEmpty() ? QFontDatabase::systemFont(QFontDatabase::GeneralFont) : QFont(chosen);
  font.setPointSize(points);
  return font;
}
