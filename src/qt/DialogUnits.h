#pragma once
// Dialog templates give positions in dialog units: a quarter of the dialog font's average
// character width across, an eighth of its height down. These turn them into pixels.
#include <QFont>
#include <QRect>

struct DialogUnitScale {
  int baseX = 6;   // average character width in pixels
  int baseY = 12;  // character height in pixels
};

DialogUnitScale ScaleOf(const QFont& font);
// x, y, width, height in dialog units.
QRect DialogRect(const DialogUnitScale& scale, int x, int y, int width, int height);
int DialogX(const DialogUnitScale& scale, int units);
int DialogY(const DialogUnitScale& scale, int units);

// The font a template names, or an installed font that can show its texts: "굴림" falls back
// to a Korean font (Nanum Gothic on Debian), "System" to the default sans serif.
QFont DialogFont(const QString& family, int points);
