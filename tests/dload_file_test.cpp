#include "DloadFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <chrono>
#include <deque>
#include <functional>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/Trace.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kM3 = "This is a damaged file,replace this file with a good one";
const std::string kM4 = "FILE의 s/w 버젼이 올바르지 않습니다.";
constexpr unsigned kInfo = MB_OK | MB_ICONINFORMATION;
constexpr unsigned kQuestion = MB_YESNO | MB_ICONEXCLAMATION | MB_SYSTEMMODAL;

// The first line names the file, the second says why it could not be read.
std::string M1(const std::string& path, const std::string& reason) {
  return " Fail to read from " + path + "\n " + reason + "\n Please Check bin_file !";
}
const std::string kNoFile = "No such file.";
const std::string kEmpty = kM3 + "\nThe file is empty.";
std::string Sig(const std::string& hex) { return kM3 + "\nIts trailer begins " + hex + ", not FF 1D 00."; }
const std::string kNoVersion = kM4 + "\nIts S/W version is FF FF FF FF: the image was never given one.";
std::string M5(const std::string& hex) {
  return "Application 다운로딩 시작 주소가 0x" + hex +
         " 입니다.\n다운로딩이 실패할 수 있습니다.\n계속 다운로딩 하시겠습니가?";
}

struct ExpectedBox {
  std::string text;
  unsigned type;
  int answer;
};

// Every box must be one the test announced, in order; the caption is always the application's.
class FakeBoxes : public CMessageBoxService {
 public:
  explicit FakeBoxes(std::vector<ExpectedBox> script = {}) : m_script(script.begin(), script.end()) {}
  ~FakeBoxes() override { EXPECT_TRUE(m_script.empty()) << m_script.size() << " box(es) never shown"; }
  void Expect(std::string text, unsigned type, int answer = IDOK) {
    m_script.push_back({std::move(text), type, answer});
  }
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
    EXPECT_EQ(caption, "");
    if (m_script.empty()) {
      ADD_FAILURE() << "unexpected box: " << text;
      return IDOK;
    }
    ExpectedBox next = m_script.front();
    m_script.pop_front();
    EXPECT_EQ(text, next.text);
    EXPECT_EQ(type, next.type);
    return next.answer;
  }

 private:
  std::deque<ExpectedBox> m_script;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "dloadfile-XXXXXX").string();
    if (::mkdtemp(pattern.data())) m_path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) fs::remove_all(m_path, ec);
  }
  std::string File(const std::string& name) const { return (m_path / name).string(); }
  bool Ok() const { return !m_path.empty(); }

 private:
  fs::path m_path;
};

void Write(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// flash bytes with a recognisable pattern, then the trailer.
Bytes Image(size_t flash, uint32_t version, uint32_t start, const Bytes& sig = {0xFF, 0x1D, 0x00}) {
  Bytes b(flash + 37);
  for (size_t i = 0; i < flash; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  uint8_t* t = b.data() + flash;
  std::fill(t + 3, t + 37, 0xA5);
  std::copy(sig.begin(), sig.end(), t);
  Put32(t + 17, version);
  Put32(t + 21, start);
  return b;
}

Bytes Pattern(size_t n, uint8_t salt) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + salt + i / 4096);
  return b;
}

BlockRecord Filled(uint8_t command, uint8_t rest) {
  BlockRecord r;
  r.bytes.fill(rest);
  r.SetCommand(command);
  return r;
}

Bytes DataOf(const BlockRecord& r) { return Bytes(r.Data(), r.Data() + kBlockDataSize); }
Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

class DloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.Ok()); }
  TempDir dir;
  std::string path = dir.File("image.bin");
};

enum class Kind { Regular, Missing, Directory, Fifo };
struct OpenCase {
  const char* name;
  Kind kind;
  Bytes content;
  uint8_t type;
  std::vector<ExpectedBox> boxes;  // "@reason" in a text stands for M1(path, reason)
  bool ok;
  uint32_t size, version, start;
};

TEST_F(DloadFileTest, OpenOutcomes) {
  const OpenCase cases[] = {
      {"minimal", Kind::Regular, Image(0, 1, 0), 0, {}, true, 37, 1, 0},
      {"version 0", Kind::Regular, Image(10, 0, 0x4000), 0, {}, true, 47, 0, 0x4000},
      {"version FEFFFFFF", Kind::Regular, Image(0, 0xFEFFFFFF, 0x10000), 3, {}, true, 37, 0xFEFFFFFF, 0x10000},
      {"version all FF", Kind::Regular, Image(0, 0xFFFFFFFF, 0), 0, {{kNoVersion, MB_OK, IDOK}}, false, 0, 0, 0},
      {"signature byte 1 off", Kind::Regular, Image(100, 1, 0, {0xFE, 0x1D, 0x00}), 4, {{Sig("FE 1D 00"), MB_OK, IDOK}}, false, 0, 0, 0},
      {"signature byte 2 off", Kind::Regular, Image(100, 1, 0, {0xFF, 0x1E, 0x00}), 0, {{Sig("FF 1E 00"), MB_OK, IDOK}}, false, 0, 0, 0},
      {"signature byte 3 off", Kind::Regular, Image(100, 1, 0, {0xFF, 0x1D, 0x01}), 1, {{Sig("FF 1D 01"), MB_OK, IDOK}}, false, 0, 0, 0},
      {"36 bytes", Kind::Regular, Slice(Image(0, 1, 0), 1, 36), 0,
       {{kM3 + "\nThe file has 36 bytes, fewer than the 37 of the trailer every image ends in.", MB_OK, IDOK}}, false, 0, 0, 0},
      {"1 byte", Kind::Regular, Bytes(1, 0xFF), 3,
       {{kM3 + "\nThe file has 1 bytes, fewer than the 37 of the trailer every image ends in.", MB_OK, IDOK}}, false, 0, 0, 0},
      {"empty", Kind::Regular, {}, 1, {{kEmpty, MB_OK, IDOK}}, false, 0, 0, 0},
      // Start addresses: 0 and from 0x4000 on in whole blocks pass; any other is asked about.
      {"start 0", Kind::Regular, Image(0, 1, 0), 0, {}, true, 37, 1, 0},
      {"start 4000", Kind::Regular, Image(0, 1, 0x4000), 1, {}, true, 37, 1, 0x4000},
      {"start 1000 below 4000, no", Kind::Regular, Image(0, 1, 0x1000), 0, {{M5("1000"), kQuestion, IDNO}}, false, 0, 0, 0},
      {"start 3000 below 4000, yes", Kind::Regular, Image(0, 1, 0x3000), 0, {{M5("3000"), kQuestion, IDYES}}, true, 37, 1, 0x3000},
      {"start 3FFF below 4000, closed", Kind::Regular, Image(0, 1, 0x3FFF), 3, {{M5("3FFF"), kQuestion, IDCANCEL}}, false, 0, 0, 0},
      {"start 4001 not block-aligned, yes", Kind::Regular, Image(0, 2, 0x4001), 0, {{M5("4001"), kQuestion, IDYES}}, true, 37, 2, 0x4001},
      {"start 10800 not block-aligned, no", Kind::Regular, Image(0, 2, 0x10800), 1, {{M5("10800"), kQuestion, IDNO}}, false, 0, 0, 0},
      {"start ABCDE001 yes", Kind::Regular, Image(0, 2, 0xABCDE001), 0, {{M5("ABCDE001"), kQuestion, IDYES}}, true, 37, 2, 0xABCDE001},
      {"font, no trailer", Kind::Regular, Bytes(5, 0), 2, {}, true, 5, 0, 0},
      {"font, empty", Kind::Regular, {}, 2, {{kEmpty, MB_OK, IDOK}}, false, 0, 0, 0},
      {"font ignores trailer", Kind::Regular, Image(0, 9, 0x4000), 2, {}, true, 37, 0, 0},
      {"missing", Kind::Missing, {}, 0, {{"@" + kNoFile, kInfo, IDOK}}, false, 0, 0, 0},
      {"missing font", Kind::Missing, {}, 2, {{"@" + kNoFile, kInfo, IDOK}}, false, 0, 0, 0},
      {"directory", Kind::Directory, {}, 0, {{"@It is a folder, not a file.", kInfo, IDOK}}, false, 0, 0, 0},
      {"fifo", Kind::Fifo, {}, 2, {{"@It is a FIFO (named pipe), not a regular file.", kInfo, IDOK}}, false, 0, 0, 0},
      {"fifo image", Kind::Fifo, {}, 0, {{"@It is a FIFO (named pipe), not a regular file.", kInfo, IDOK}}, false, 0, 0, 0},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string p = dir.File("case" + std::to_string(n++));
    if (c.kind == Kind::Regular) Write(p, c.content);
    if (c.kind == Kind::Directory) {
      ASSERT_TRUE(fs::create_directory(p));
    }
    if (c.kind == Kind::Fifo) {
      ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
    }
    FakeBoxes boxes;
    for (const auto& b : c.boxes) boxes.Expect(b.text[0] == '@' ? M1(p, b.text.substr(1)) : b.text, b.type, b.answer);
    CDloadFile file(&boxes);
    EXPECT_EQ(file.Open(p, c.type), c.ok);
    EXPECT_EQ(file.IsOpened(), c.ok);
    EXPECT_EQ(file.IsValid(), c.ok && c.type != 2);
    EXPECT_EQ(file.GetSize(), c.size);
    EXPECT_EQ(file.GetVersion(), c.version);
    EXPECT_EQ(file.GetStartAddress(), c.start);
  }
}

// Root reads any file: the ordinary-user pass of the tests runs this one.
TEST_F(DloadFileTest, UnreadableImageSaysPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may read any file";
  Write(path, Image(4096, 1, 0));
  ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
  for (uint8_t type : {0, 2}) {
    FakeBoxes boxes({{M1(path, "Permission denied: this user may not read the file."), kInfo, IDOK}});
    CDloadFile file(&boxes);
    EXPECT_FALSE(file.Open(path, type));
    EXPECT_FALSE(file.IsOpened());
  }

  // Taken away after the check: the block read says so.
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  CDloadFile file;
  ASSERT_TRUE(file.Open(path, 0));
  ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
  BlockRecord r;
  EXPECT_FALSE(file.ReadBlock(0, 0, r));
  EXPECT_EQ(file.LastReadFailure(), "Permission denied: this user may not read the file.");
}

TEST_F(DloadFileTest, FailedReopenForgetsTheValidImage) {
  const struct {
    const char* name;
    Bytes content;
    ExpectedBox box;
  } cases[] = {
      {"damaged", Image(0, 1, 0, {0, 0, 0}), {Sig("00 00 00"), MB_OK, IDOK}},
      {"bad version", Image(0, 0xFFFFFFFF, 0), {kNoVersion, MB_OK, IDOK}},
      {"start refused", Image(0, 5, 0x2000), {M5("2000"), kQuestion, IDNO}},
      {"vanished", {}, {"@", kInfo, IDOK}},
      {"emptied", Bytes{}, {kEmpty, MB_OK, IDOK}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(path, Image(4096, 7, 0x8000));
    FakeBoxes boxes;
    CDloadFile file(&boxes);
    ASSERT_TRUE(file.Open(path, 0));
    if (c.box.text == "@") fs::remove(path); else Write(path, c.content);
    boxes.Expect(c.box.text == "@" ? M1(path, kNoFile) : c.box.text, c.box.type, c.box.answer);
    EXPECT_FALSE(file.Open(path, 0));
    EXPECT_FALSE(file.IsValid());
    EXPECT_FALSE(file.IsOpened());
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_EQ(file.GetVersion(), 0u);
    EXPECT_EQ(file.GetStartAddress(), 0x8000u);  // only an accepted address replaces it
    BlockRecord r;
    EXPECT_FALSE(file.ReadBlock(0x8000, 0, r)) << "no block of a refused image";
    EXPECT_FALSE(file.StillAsChecked());
  }
}

TEST(DloadFileRule, StartAddress) {
  for (uint32_t a : {0x0u, 0x4000u, 0x5000u, 0x10000u, 0xFFFFF000u}) {
    EXPECT_TRUE(CDloadFile::IsGoodStartAddress(a)) << a;
  }
  for (uint32_t a : {0x1000u, 0x2000u, 0x3000u, 0x3FFFu, 0x4001u, 0x4800u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(CDloadFile::IsGoodStartAddress(a)) << a;
  }
}

TEST_F(DloadFileTest, NoBoxServiceRefusesAQuestionableStart) {
  Write(path, Image(0, 1, 0x3000));
  std::string traced;
  trace::SetSink([&](std::string_view t) { traced += t; });
  CDloadFile file;
  EXPECT_FALSE(file.Open(path, 0));
  trace::SetSink({});
  EXPECT_FALSE(file.IsValid());
  EXPECT_NE(traced.find("0x3000"), std::string::npos);
}

TEST_F(DloadFileTest, ReadBlockServesWholeBlocksOnly) {
  const Bytes image = Image(3 * 4096 + 100, 1, 0);  // 12425 bytes
  Write(path, image);
  FakeBoxes boxes;
  CDloadFile file(&boxes);
  ASSERT_TRUE(file.Open(path, 0));
  const uint32_t size = file.GetSize();
  const struct { uint32_t base, index; bool ok; uint32_t addr; } cases[] = {
      {0, 0, true, 0},
      {0, 2, true, 8192},
      {size - 4096, 0, true, size - 4096},  // ends exactly at the end of the file
      {0, 3, false, 12288},                 // only 137 bytes left: not a block
      {size - 1, 0, false, size - 1},
      {size, 0, false, size},
      {0xFFFFF000u, 1, true, 0},            // wraps to the start
      {0, 0x100000u, true, 0},
      {0x10000, 5, false, 0x15000},         // beyond the end
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.base << "+" << c.index);
    BlockRecord r = Filled(0x5A, 0xCD);
    const BlockRecord before = r;
    EXPECT_EQ(file.ReadBlock(c.base, c.index, r), c.ok);
    EXPECT_EQ(r.Command(), 0x5A);
    EXPECT_EQ(r.Address(), c.addr);
    if (c.ok) {
      EXPECT_EQ(r.bytes[5], 0x00);
      EXPECT_EQ(r.bytes[6], 0x10);
      EXPECT_EQ(DataOf(r), Slice(image, c.addr, 4096));
    } else {
      EXPECT_TRUE(std::equal(r.bytes.begin() + 5, r.bytes.end(), before.bytes.begin() + 5));
    }
  }
}

// Whatever happens to the file after its check, no block comes from it any more, and the reason
// is there for the engine's box; the reads themselves show none.
TEST_F(DloadFileTest, AFileChangedSinceItsCheckServesNoBlock) {
  const Bytes image = Image(8192, 1, 0);  // 8229 bytes
  const std::string other = dir.File("other.bin");
  const struct {
    const char* name;
    std::function<void()> change;
    std::string why;  // empty: still served
  } cases[] = {
      {"untouched", [] {}, ""},
      {"rewritten, same size",
       [&] {
         const auto then = fs::last_write_time(path);
         Write(path, Pattern(image.size(), 5));
         fs::last_write_time(path, then + std::chrono::seconds(2));
       },
       "The image file was rewritten since it was checked."},
      {"grown", [&] { std::ofstream(path, std::ios::binary | std::ios::app) << std::string(4096, 'x'); },
       "The image file is now 12325 bytes; it had 8229 when it was checked."},
      {"shrunk", [&] { fs::resize_file(path, 5000); },
       "The image file is now 5000 bytes; it had 8229 when it was checked."},
      {"gone", [&] { fs::remove(path); }, kNoFile},
      {"replaced by a copy", [&] { Write(other, image); fs::rename(other, path); },
       "The image file was replaced since it was checked."},
      {"a folder now", [&] { fs::remove(path); fs::create_directory(path); }, "It is a folder, not a file."},
  };
  for (const auto& c : cases) {
    for (uint8_t type : {0, 2}) {
      SCOPED_TRACE(testing::Message() << c.name << ", type " << int(type));
      fs::remove_all(path);
      Write(path, image);
      FakeBoxes boxes;  // none expected
      CDloadFile file(&boxes);
      ASSERT_TRUE(file.Open(path, type));
      c.change();
      BlockRecord r = Filled(0, 0xCD);
      const bool served = c.why.empty();
      EXPECT_EQ(file.StillAsChecked(), served);
      EXPECT_EQ(file.LastReadFailure(), c.why);
      EXPECT_EQ(file.ReadBlock(0, 1, r), served);
      EXPECT_EQ(file.LastReadFailure(), c.why);
      if (served) {
        EXPECT_EQ(DataOf(r), Slice(image, 4096, 4096));
      } else {
        EXPECT_TRUE(std::all_of(r.Data(), r.Data() + kBlockDataSize, [](uint8_t b) { return b == 0xCD; }));
      }
      EXPECT_EQ(file.ReadFontBlock(0x200000, 0, r), served);
      EXPECT_EQ(file.LastReadFailure(), c.why);
    }
  }
}

TEST_F(DloadFileTest, FontBlocksArePaddedWithErasedFlash) {
  const Bytes font = Pattern(5000, 3);
  Write(path, font);
  FakeBoxes boxes;
  CDloadFile file(&boxes);
  ASSERT_TRUE(file.Open(path, 2));
  auto expect = [&](const Bytes& src, uint64_t from) {
    Bytes want(4096, 0xFF);
    for (uint64_t i = from; i < src.size() && i < from + 4096; ++i) want[i - from] = src[i];
    return want;
  };
  const struct { uint32_t base, index, addr; uint64_t offset; } cases[] = {
      {0x100000, 0, 0x100000, 0},
      {0x100000, 1, 0x101000, 4096},          // 904 file bytes, then 0xFF
      {0x100000, 2, 0x102000, 8192},          // wholly past the end
      {0xFFFFF000u, 1, 0, 4096},              // address wraps
      {0, 0x100000u, 0, 0x100000000ull},      // the file offset does not
  };
  BlockRecord r = Filled(0x11, 0x22);
  for (const auto& c : cases) {  // one record reused, as the engine does
    SCOPED_TRACE(c.index);
    ASSERT_TRUE(file.ReadFontBlock(c.base, c.index, r));
    EXPECT_EQ(r.Command(), 0x11);
    EXPECT_EQ(r.Address(), c.addr);
    EXPECT_EQ(r.Length(), 4096);
    EXPECT_EQ(DataOf(r), expect(font, c.offset));
  }

}

TEST_F(DloadFileTest, MissingFontFileFailsOnEveryRead) {
  FakeBoxes boxes({{M1(path, kNoFile), kInfo, IDOK}});
  CDloadFile file(&boxes);
  EXPECT_FALSE(file.Open(path, 2));
  Write(path, Pattern(5000, 1));  // there now, but never checked
  BlockRecord r;
  EXPECT_FALSE(file.ReadFontBlock(0x10000, 0, r));
  EXPECT_EQ(file.LastReadFailure(), "No image file was opened.");
  EXPECT_FALSE(file.ReadFontBlock(0x10000, 1, r));
}

// Sizes are 32-bit: the largest size still opens, one more trailer's worth is refused.
TEST_F(DloadFileTest, SizeLimit) {
  const Bytes trailer = Image(0, 3, 0x4000);
  for (uint64_t size : {uint64_t{0xFFFFFFFF}, uint64_t{0x100000000} + 36}) {
    SCOPED_TRACE(size);
    fs::remove(path);
    { std::ofstream touch(path); }
    std::error_code ec;
    fs::resize_file(path, size - 37, ec);
    if (ec) GTEST_SKIP() << "no sparse files here: " << ec.message();
    std::ofstream(path, std::ios::binary | std::ios::app)
        .write(reinterpret_cast<const char*>(trailer.data()), 37);
    ASSERT_EQ(fs::file_size(path), size);
    FakeBoxes boxes;
    const bool fits = size <= 0xFFFFFFFF;
    if (!fits) boxes.Expect(" File is larger than 4 GB: " + path + "\n Please Check bin_file !", kInfo);
    CDloadFile file(&boxes);
    EXPECT_EQ(file.Open(path, 0), fits);
    EXPECT_EQ(file.IsValid(), fits);
    EXPECT_EQ(file.GetSize(), fits ? 0xFFFFFFFFu : 0u);
    BlockRecord r;
    if (fits) {
      EXPECT_TRUE(file.ReadBlock(0xFFFFE000u, 0, r));   // the last whole block
      EXPECT_FALSE(file.ReadBlock(0xFFFFF000u, 0, r));  // 4095 bytes left
    }
  }
}

}  // namespace
