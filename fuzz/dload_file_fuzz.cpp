// The image check on any file contents, for every download type, with the start-address question
// answered any way; then block reads of what it accepted, checked against the bytes written.
//
// Input: type (% 5), answer (% 3: Yes, No, closed), reads (% 5), then that many reads of
// base (u32 LE), index (u32 LE) and kind (odd: a font block), then the file's contents.
#include <array>
#include <cstring>

#include "DloadFile.h"
#include "FuzzSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

class CBoxes : public CMessageBoxService {
 public:
  explicit CBoxes(int answer) : m_answer(answer) {}
  int MessageBox(const std::string& text, const std::string&, unsigned type) override {
    FUZZ_CHECK(!text.empty(), "a box without a text");
    ++shown;
    if ((type & MB_BUTTONS_MASK) == MB_YESNO) {
      ++questions;
      return m_answer;
    }
    return IDOK;
  }
  int shown = 0;
  int questions = 0;

 private:
  int m_answer;
};

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

struct Read {
  uint32_t base, index;
  bool font;
};

void CheckBlock(CDloadFile& file, const Bytes& content, const Read& r) {
  BlockRecord record;
  record.bytes.fill(0xA5);
  const uint32_t addr = r.base + r.index * uint32_t{4096};
  if (r.font) {
    FUZZ_CHECK(file.ReadFontBlock(r.base, r.index, record), "a font block of an unchanged file");
    FUZZ_CHECK(record.Address() == addr && record.Length() == 4096, "a font block's header");
    const uint64_t offset = uint64_t{r.index} * 4096;
    for (size_t i = 0; i < 4096; ++i) {
      const uint8_t want = offset + i < content.size() ? content[offset + i] : 0xFF;
      FUZZ_CHECK(record.Data()[i] == want, "a font block's bytes");
    }
    return;
  }
  const bool whole = uint64_t{addr} + 4096 <= content.size();
  FUZZ_CHECK(file.ReadBlock(r.base, r.index, record) == whole, "a block served exactly when it is whole");
  FUZZ_CHECK(record.Address() == addr, "a block's address");
  if (whole) {
    FUZZ_CHECK(record.Length() == 4096, "a block's length");
    FUZZ_CHECK(std::memcmp(record.Data(), content.data() + addr, 4096) == 0, "a block's bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::CReader in(data, size);
  const uint8_t type = in.U8() % 5;
  static constexpr int kAnswers[] = {IDYES, IDNO, IDCANCEL};
  const int answer = kAnswers[in.U8() % 3];
  std::vector<Read> reads(in.U8() % 5);
  for (auto& r : reads) {
    r.base = in.U32();
    r.index = in.U32();
    r.font = in.U8() & 1;
  }
  const Bytes content = in.Rest();
  const std::string path = fuzz::Scratch().File("image.bin");
  fuzz::WriteWhole(path, content.data(), content.size());

  CBoxes boxes(answer);
  CDloadFile file(&boxes);
  const bool opened = file.Open(path, type);

  // What the checks must decide, from the bytes alone.
  const bool font = type == CDloadFile::kTypeFont;
  bool expected = true;
  bool asks = false;
  uint32_t start = 0, version = 0;
  if (font) {
    expected = !content.empty();  // an empty font would only write erased flash
  } else {
    const size_t n = content.size();
    const uint8_t* t = n >= 37 ? content.data() + n - 37 : nullptr;
    if (!t || t[0] != 0xFF || t[1] != 0x1D || t[2] != 0x00 || Le32(t + 17) == 0xFFFFFFFF) {
      expected = false;
    } else {
      version = Le32(t + 17);
      start = Le32(t + 21);
      asks = !CDloadFile::IsGoodStartAddress(start);
      expected = !asks || answer == IDYES;
    }
  }
  FUZZ_CHECK(opened == expected, "the image accepted or refused");
  FUZZ_CHECK(boxes.questions == (asks ? 1 : 0), "the start-address question");
  FUZZ_CHECK(boxes.shown == (opened ? boxes.questions : 1), "one box for a refusal, none otherwise");
  FUZZ_CHECK(file.WasDeclined() == (asks && !opened), "declined only by the answer");
  if (!opened) {
    FUZZ_CHECK(!file.IsValid() && file.GetSize() == 0 && file.GetVersion() == 0, "nothing kept of a refusal");
    return 0;
  }
  FUZZ_CHECK(file.IsValid() == !font, "valid unless a font");
  FUZZ_CHECK(file.GetSize() == content.size(), "the size");
  FUZZ_CHECK(file.GetVersion() == version, "the version");
  if (!font) FUZZ_CHECK(file.GetStartAddress() == start, "the start address");

  // The engine's first block, then the ones asked for.
  reads.insert(reads.begin(), Read{file.GetStartAddress(), 0, font});
  for (const Read& r : reads) CheckBlock(file, content, r);
  FUZZ_CHECK(boxes.shown == boxes.questions, "no box for a read of an unchanged file");
  return 0;
}
