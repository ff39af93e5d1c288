#include "FontParameters.h"

#include "DlgFont.h"
#include "platform/MemoryFontView.h"

int RunFontParameters(CDlgFont& dialog, const std::optional<std::string>& address,
                      const std::optional<std::string>& blocks, std::string& why) {
  CMemoryFontView view;
  dialog.OnInitDialog(view);
  // Set as the program would, not typed: an address too long must be refused, not cut short.
  if (address) view.SetItemText(IDC_FONT_ADDRESS, *address);
  if (blocks) view.SetItemText(IDC_FONT_COUNT, *blocks);
  dialog.OnOK(view);
  if (view.Result() == IDOK) return IDOK;
  why = view.ValidationMessages().empty() ? std::string("the dialog was not confirmed")
                                          : view.ValidationMessages().back();
  return IDCANCEL;
}
