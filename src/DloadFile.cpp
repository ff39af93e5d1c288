#include "DloadFile.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "ReadOnlyFile.h"
#include "platform/Trace.h"

namespace {

constexpr size_t kTrailerSize = 37;
// Trailer fields, as offsets from the trailer's first byte (the file's size - 37).
constexpr size_t kSignatureAt = 0;        // FF 1D 00
constexpr size_t kVersionAt = 37 - 20;    // 32-bit LE software version
constexpr size_t kStartAddrAt = 37 - 16;  // 32-bit LE application start address
constexpr uint8_t kSignature[3] = {0xFF, 0x1D, 0x00};

constexpr uint32_t kBlockStep = 4096;
static_assert(kBlockStep == kBlockDataSize);
constexpr uint8_t kErasedByte = 0xFF;

constexpr const char* kCheckBinFile = "\n Please Check bin_file !";
constexpr const char* kDamagedText = "This is a damaged file,replace this file with a good one";
constexpr const char* kBadVersionText = "FILE의 s/w 버젼이 올바르지 않습니다.";

using Trailer = std::array<uint8_t, kTrailerSize>;

enum class ImageRead { Ok, OpenFailed, StatFailed, TooLarge, TooShort, ReadFailed };

// Reads the size and, when asked, the trailer; the file is closed again before this returns, so
// that no box is ever shown while it is held open.
ImageRead ReadImage(const std::string& path, bool wantTrailer, uint32_t& size, Trailer& trailer) {
  CReadOnlyFile file;
  if (!file.Open(path)) return ImageRead::OpenFailed;
  uint64_t fileSize = 0;
  if (!file.GetSize(fileSize)) return ImageRead::StatFailed;
  // Sizes, addresses and offsets are 32-bit throughout; a larger file cannot be described.
  if (fileSize > UINT32_MAX) return ImageRead::TooLarge;
  size = static_cast<uint32_t>(fileSize);
  if (!wantTrailer) return ImageRead::Ok;
  if (fileSize < kTrailerSize) return ImageRead::TooShort;
  size_t got = 0;
  if (file.ReadAt(fileSize - kTrailerSize, trailer.data(), trailer.size(), got) !=
      CReadOnlyFile::ReadResult::Full) {
    return ImageRead::ReadFailed;
  }
  return ImageRead::Ok;
}

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string StartAddressQuestion(uint32_t addr) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%" PRIX32, addr);
  return std::string("Application 다운로딩 시작 주소가 0x") + hex + " 입니다." +
         "\n다운로딩이 실패할 수 있습니다." + "\n계속 다운로딩 하시겠습니가?";
}

}  // namespace

CDloadFile::CDloadFile(CMessageBoxService* boxes) : m_pBoxes(boxes) {}

bool CDloadFile::IsGoodStartAddress(uint32_t addr) {
  return (addr & (kBlockStep - 1)) == 0 && (addr == 0 || addr >= 0x4000);
}

void CDloadFile::Reset() {
  m_bValid = false;
  m_bDeclined = false;
  m_dwSwVersion = 0;
  m_strPath.clear();
  m_dwFileSize = 0;
}

int CDloadFile::Box(const std::string& text, unsigned type) {
  if (m_pBoxes) return m_pBoxes->MessageBox(text, std::string(), type);
  trace::Printf("image file: %s\n", text.c_str());
  return (type & MB_BUTTONS_MASK) == MB_YESNO ? IDNO : IDOK;
}

void CDloadFile::ShowReadFailure() {
  Box(" Fail to read from " + m_strPath + kCheckBinFile, MB_OK | MB_ICONINFORMATION);
}

bool CDloadFile::Open(const std::string& path, uint8_t type) {
  Reset();
  m_strPath = path;

  const bool font = type == kTypeFont;
  uint32_t size = 0;
  Trailer trailer{};
  switch (ReadImage(m_strPath, !font, size, trailer)) {
    case ImageRead::Ok:
      break;
    case ImageRead::OpenFailed:
    case ImageRead::ReadFailed:
      ShowReadFailure();
      return false;
    case ImageRead::StatFailed:
      Box(" Fail to get file info from " + m_strPath + kCheckBinFile, MB_OK | MB_ICONINFORMATION);
      return false;
    case ImageRead::TooLarge:
      Box(" File is larger than 4 GB: " + m_strPath + kCheckBinFile, MB_OK | MB_ICONINFORMATION);
      return false;
    case ImageRead::TooShort:
      Box(kDamagedText, MB_OK);
      return false;
  }

  if (font) {
    // A font is raw data: no trailer, never valid, version 0.
    m_dwFileSize = size;
    return true;
  }

  if (std::memcmp(trailer.data() + kSignatureAt, kSignature, sizeof kSignature) != 0) {
    Box(kDamagedText, MB_OK);
    return false;
  }

  const uint8_t* version = trailer.data() + kVersionAt;
  if (version[0] == 0xFF && version[1] == 0xFF && version[2] == 0xFF && version[3] == 0xFF) {
    Box(kBadVersionText, MB_OK);
    return false;
  }
  const uint32_t swVersion = LittleEndian32(version);

  const uint32_t start = LittleEndian32(trailer.data() + kStartAddrAt);
  if (!IsGoodStartAddress(start) &&
      Box(StartAddressQuestion(start), MB_YESNO | MB_ICONEXCLAMATION | MB_SYSTEMMODAL) != IDYES) {
    m_bDeclined = true;
    return false;
  }
  m_dwAppStart = start;

  // Committed only now, so that a refused image never leaves a version behind.
  m_dwSwVersion = swVersion;
  m_dwFileSize = size;
  m_bValid = true;
  return true;
}

bool CDloadFile::ReadBlock(uint32_t base, uint32_t index, BlockRecord& record) {
  CReadOnlyFile file;
  if (!file.Open(m_strPath)) {
    ShowReadFailure();
    return false;
  }
  const uint32_t addr = base + index * kBlockStep;  // wraps modulo 2^32
  record.SetAddress(addr);
  if (addr >= m_dwFileSize) return false;

  std::array<uint8_t, kBlockDataSize> data;
  size_t got = 0;
  const auto result = file.ReadAt(addr, data.data(), data.size(), got);
  file.Close();
  if (result == CReadOnlyFile::ReadResult::Error) {
    ShowReadFailure();
    return false;
  }
  if (result == CReadOnlyFile::ReadResult::Short) {
    // The file shrank since it was opened: never hand out a block we do not have.
    trace::Printf("image block 0x%08" PRIX32 ": file ends after %zu of %zu bytes\n", addr, got,
                  data.size());
    return false;
  }
  record.SetLength(static_cast<uint16_t>(kBlockDataSize));
  std::memcpy(record.Data(), data.data(), data.size());
  return true;
}

bool CDloadFile::ReadFontBlock(uint32_t base, uint32_t index, BlockRecord& record) {
  CReadOnlyFile file;
  if (!file.Open(m_strPath)) {
    ShowReadFailure();
    return false;
  }
  record.SetAddress(base + index * kBlockStep);  // wraps modulo 2^32
  record.SetLength(static_cast<uint16_t>(kBlockDataSize));

  // The offset is not wrapped: a font block past the end of the file is simply erased flash.
  const uint64_t offset = static_cast<uint64_t>(index) * kBlockStep;
  std::array<uint8_t, kBlockDataSize> data;
  size_t got = 0;
  const auto result = file.ReadAt(offset, data.data(), data.size(), got);
  file.Close();
  if (result == CReadOnlyFile::ReadResult::Error) {
    ShowReadFailure();
    return false;
  }
  std::memcpy(record.Data(), data.data(), got);
  std::memset(record.Data() + got, kErasedByte, data.size() - got);
  return true;
}
