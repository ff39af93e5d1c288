#include "Images.h"

#include <array>
#include <utility>

// XPM files are C arrays of strings; they are drawn by scripts/make-images.
#include "images/INFOD.xpm"
#include "images/INFOF.xpm"
#include "images/INFOU.xpm"
#include "images/OPEND.xpm"
#include "images/OPENF.xpm"
#include "images/OPENU.xpm"
#include "images/RUND.xpm"
#include "images/RUNF.xpm"
#include "images/RUNU.xpm"
#include "images/STOPD.xpm"
#include "images/STOPF.xpm"
#include "images/STOPU.xpm"
#include "images/TODMD.xpm"
#include "images/TODMF.xpm"
#include "images/TODMU.xpm"
#include "images/tarvisel.xpm"

namespace {
using Xpm = const char* const*;

constexpr std::array<std::pair<const char*, Xpm>, 15> kButtonImages{{
    {"OPENU", OPENU_xpm}, {"OPEND", OPEND_xpm}, {"OPENF", OPENF_xpm},
    {"RUNU", RUNU_xpm},   {"RUND", RUND_xpm},   {"RUNF", RUNF_xpm},
    {"TODMU", TODMU_xpm}, {"TODMD", TODMD_xpm}, {"TODMF", TODMF_xpm},
    {"INFOU", INFOU_xpm}, {"INFOD", INFOD_xpm}, {"INFOF", INFOF_xpm},
    {"STOPU", STOPU_xpm}, {"STOPD", STOPD_xpm}, {"STOPF", STOPF_xpm},
}};
}  // namespace

QPixmap ButtonImage(const QString& name) {
  // Resource names are not case-sensitive; "openu" is "OPENU".
  const QString key = name.toUpper();
  for (const auto& [imageName, xpm] : kButtonImages)
    if (key == QLatin1String(imageName)) return QPixmap(xpm);
  return {};
}

QPixmap ApplicationIconPixmap() { return QPixmap(tarvisel_xpm); }

QIcon ApplicationIcon() { return QIcon(ApplicationIconPixmap()); }
