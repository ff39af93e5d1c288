#include "platform/Translate.h"

#include <libintl.h>

const char* Tr(const char* text) { return dgettext("tarvisel", text); }
