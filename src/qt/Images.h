#pragma once
// The program's own images: the fifteen button images and the application icon.
#include <QIcon>
#include <QPixmap>
#include <QString>

// "OPENU", "RUND", "STOPF", ...: the caption in upper case and U (up), D (pressed) or F (focused).
// A null pixmap for an unknown name.
QPixmap ButtonImage(const QString& name);
// The 32 x 32 application icon.
QPixmap ApplicationIconPixmap();
QIcon ApplicationIcon();
