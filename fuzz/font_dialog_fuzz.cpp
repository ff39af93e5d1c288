// The font dialog's fields: whatever is typed or set into the address and count and however the
// spin is turned, an accepted dialog gives an address of at most six hex digits, read from hex
// text, and 1 to 100 blocks of 64 KB; a refused OK changes nothing and says why.
//
// Input: a list of operations, each a byte followed by its arguments:
//   0 text\0   the address typed (cut at the edit's limit)     1 text\0   the address set
//   2 text\0   the count typed                                  3 text\0   the count set
//   4 pos delta (i32 LE each): a spin step                      5          OK
//   6          Cancel
#include <cstdint>
#include <optional>

#include "DlgFont.h"
#include "FuzzSupport.h"
#include "platform/MemoryFontView.h"

namespace {

std::optional<uint32_t> HexValue(const std::string& text) {
  if (text.size() > 6) return std::nullopt;
  uint32_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return v;
}

std::optional<uint32_t> PlainDecimal(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  return v;
}

void CheckCountText(CMemoryFontView& view) {
  const auto n = PlainDecimal(view.GetItemText(IDC_FONT_COUNT));
  FUZZ_CHECK(n && *n >= 1 && *n <= 100, "the spin left a count outside 1..100");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::CReader in(data, size);
  CMemoryFontView view;
  CDlgFont dlg;
  dlg.OnInitDialog(view);
  CheckCountText(view);
  while (!in.Empty() && !view.Result()) {
    switch (in.U8() % 7) {
      case 0: view.Type(IDC_FONT_ADDRESS, in.Text()); break;
      case 1: view.SetItemText(IDC_FONT_ADDRESS, in.Text()); break;
      case 2: view.Type(IDC_FONT_COUNT, in.Text()); break;
      case 3: view.SetItemText(IDC_FONT_COUNT, in.Text()); break;
      case 4: {
        const auto pos = static_cast<int32_t>(in.U32());
        const auto delta = static_cast<int32_t>(in.U32());
        const std::string address = view.GetItemText(IDC_FONT_ADDRESS);
        dlg.OnDeltaposSpin(view, pos, delta);
        CheckCountText(view);
        FUZZ_CHECK(view.GetItemText(IDC_FONT_ADDRESS) == address, "the spin changed the address");
        break;
      }
      case 5: {
        const std::string address = view.GetItemText(IDC_FONT_ADDRESS);
        const std::string count = view.GetItemText(IDC_FONT_COUNT);
        const uint32_t addrBefore = dlg.GetFontAddress(), sizeBefore = dlg.GetFontSize();
        const size_t messages = view.ValidationMessages().size();
        dlg.OnOK(view);
        if (view.Result() == IDOK) {
          const auto hex = HexValue(address);
          FUZZ_CHECK(hex.has_value(), "accepted an address that is not 0 to 6 hex digits");
          FUZZ_CHECK(dlg.GetFontAddress() == *hex && dlg.GetFontAddress() <= 0xFFFFFF, "the address");
          const uint32_t bytes = dlg.GetFontSize();
          FUZZ_CHECK(bytes >= 65536 && bytes <= 6553600 && bytes % 65536 == 0, "the font size");
          if (const auto n = PlainDecimal(count)) FUZZ_CHECK(bytes == *n * 65536u, "the block count");
          FUZZ_CHECK(view.ValidationMessages().size() == messages, "a message on success");
        } else {
          FUZZ_CHECK(!view.Result(), "OK ended the dialog otherwise");
          FUZZ_CHECK(view.ValidationMessages().size() == messages + 1, "a refused OK says why, once");
          FUZZ_CHECK(view.Focus() == IDC_FONT_ADDRESS || view.Focus() == IDC_FONT_COUNT, "the focus");
          FUZZ_CHECK(dlg.GetFontAddress() == addrBefore && dlg.GetFontSize() == sizeBefore,
                     "a refused OK changed the result");
        }
        break;
      }
      case 6:
        dlg.OnCancel(view);
        FUZZ_CHECK(view.Result() == IDCANCEL, "cancel");
        break;
    }
  }
  return 0;
}
