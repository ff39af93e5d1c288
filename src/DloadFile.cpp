#include "DloadFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "ReadOnlyFile.h"
#include "platform/Trace.h"
#include "platform/Translate.h"

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

constexpr const char* kCheckBinFile = TrLater("\n Please Check bin_file !");
constexpr const char* kDamagedText = TrLater("This is a damaged file,replace this file with a good one");
constexpr const char* kBadVersionText = TrLater("FILE의 s/w 버젼이 올바르지 않습니다.");

using Trailer = std::array<uint8_t, kTrailerSize>;

enum class ImageRead { Ok, OpenFailed, StatFailed, TooLarge, TooShort, ReadFailed };

struct ImageFacts {
  CReadOnlyFile::Stamp stamp;
  Trailer trailer{};
  std::string failure;  // why it could not be opened or read
};

// Reads the size and, when asked, the trailer; the file is closed again before this returns, so
// that no box is ever shown while it is held open.
ImageRead ReadImage(const std::string& path, bool wantTrailer, ImageFacts& facts) {
  CReadOnlyFile file;
  if (!file.Open(path)) {
    facts.failure = file.OpenFailure();
    return ImageRead::OpenFailed;
  }
  if (!file.GetStamp(facts.stamp)) return ImageRead::StatFailed;
  const uint64_t fileSize = facts.stamp.size;
  // Sizes, addresses and offsets are 32-bit throughout; a larger file cannot be described.
  if (fileSize > UINT32_MAX) return ImageRead::TooLarge;
  if (!wantTrailer) return ImageRead::Ok;
  if (fileSize < kTrailerSize) return ImageRead::TooShort;
  size_t got = 0;
  const auto result = file.ReadAt(fileSize - kTrailerSize, facts.trailer.data(), facts.trailer.size(), got);
  if (result != CReadOnlyFile::ReadResult::Full) {
    facts.failure = result == CReadOnlyFile::ReadResult::Error ? std::string(std::strerror(errno)) + "."
                                                               : Tr("The file shrank while it was read.");
    return ImageRead::ReadFailed;
  }
  return ImageRead::Ok;
}

std::string TooShortText(uint64_t size) {
  if (size == 0) return std::string(Tr(kDamagedText)) + Tr("\nThe file is empty.");
  return Tr(kDamagedText) + TrFormat("\nThe file has %llu bytes, fewer than the %zu of the trailer every image ends in.",
                                     static_cast<unsigned long long>(size), kTrailerSize);
}

std::string BadSignatureText(const uint8_t* sig) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%02X %02X %02X", sig[0], sig[1], sig[2]);
  return Tr(kDamagedText) + TrFormat("\nIts trailer begins %s, not FF 1D 00.", hex);
}

std::string ChangeText(const CReadOnlyFile::Stamp& then, const CReadOnlyFile::Stamp& now) {
  if (now.device != then.device || now.inode != then.inode) {
    return Tr("The image file was replaced since it was checked.");
  }
  if (now.size != then.size) {
    return TrFormat("The image file is now %llu bytes; it had %llu when it was checked.",
                    static_cast<unsigned long long>(now.size), static_cast<unsigned long long>(then.size));
  }
  return Tr("The image file was rewritten since it was checked.");
}

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string StartAddressQuestion(uint32_t addr) {
  return TrFormat("Application 다운로딩 시작 주소가 0x%" PRIX32 " 입니다.\n다운로딩이 실패할 수 있습니다.\n계속 다운로딩 하시겠습니가?",
                  addr);
}

}  // namespace

CDloadFile::CDloadFile(CMessageBoxService* boxes) : m_pBoxes(boxes) {}

bool CDloadFile::IsGoodStartAddress(uint32_t addr) {
  return (addr & (kBlockStep - 1)) == 0 && (addr == 0 || addr >= 0x4000);
}

void CDloadFile::Reset() {
  m_bValid = false;
  m_bOpened = false;
  m_bDeclined = false;
  m_stamp = {};
  m_strReadFailure.clear();
  m_dwSwVersion = 0;
  m_strPath.clear();
  m_dwFileSize = 0;
}

int CDloadFile::Box(const std::string& text, unsigned type) {
  if (m_pBoxes) return m_pBoxes->MessageBox(text, std::string(), type);
  trace::Printf("image file: %s\n", text.c_str());
  return (type & MB_BUTTONS_MASK) == MB_YESNO ? IDNO : IDOK;
}

void CDloadFile::ShowReadFailure(const std::string& reason) {
  Box(Tr(" Fail to read from ") + m_strPath + "\n " + reason + Tr(kCheckBinFile), MB_OK | MB_ICONINFORMATION);
}

bool CDloadFile::Open(const std::string& path, uint8_t type) {
  Reset();
  m_strPath = path;

  const bool font = type == kTypeFont;
  ImageFacts facts;
  switch (ReadImage(m_strPath, !font, facts)) {
    case ImageRead::Ok:
      break;
    case ImageRead::OpenFailed:
    case ImageRead::ReadFailed:
      ShowReadFailure(facts.failure);
      return false;
    case ImageRead::StatFailed:
      Box(Tr(" Fail to get file info from ") + m_strPath + Tr(kCheckBinFile), MB_OK | MB_ICONINFORMATION);
      return false;
    case ImageRead::TooLarge:
      Box(Tr(" File is larger than 4 GB: ") + m_strPath + Tr(kCheckBinFile), MB_OK | MB_ICONINFORMATION);
      return false;
    case ImageRead::TooShort:
      Box(TooShortText(facts.stamp.size), MB_OK);
      return false;
  }
  const auto size = static_cast<uint32_t>(facts.stamp.size);

  if (font) {
    // A font is raw data: no trailer, never valid, version 0. An empty one would only write
    // erased flash over the range.
    if (size == 0) {
      Box(TooShortText(0), MB_OK);
      return false;
    }
    m_dwFileSize = size;
    m_stamp = facts.stamp;
    m_bOpened = true;
    return true;
  }

  const Trailer& trailer = facts.trailer;
  if (std::memcmp(trailer.data() + kSignatureAt, kSignature, sizeof kSignature) != 0) {
    Box(BadSignatureText(trailer.data() + kSignatureAt), MB_OK);
    return false;
  }

  const uint8_t* version = trailer.data() + kVersionAt;
  if (version[0] == 0xFF && version[1] == 0xFF && version[2] == 0xFF && version[3] == 0xFF) {
    Box(std::string(Tr(kBadVersionText)) + Tr("\nIts S/W version is FF FF FF FF: the image was never given one."), MB_OK);
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
  m_stamp = facts.stamp;
  m_bValid = true;
  m_bOpened = true;
  return true;
}

bool CDloadFile::OpenAsChecked(CReadOnlyFile& file) {
  m_strReadFailure.clear();
  if (!m_bOpened) {
    m_strReadFailure = Tr("No image file was opened.");
    return false;
  }
  if (!file.Open(m_strPath)) {
    m_strReadFailure = file.OpenFailure();
    return false;
  }
  CReadOnlyFile::Stamp now;
  if (!file.GetStamp(now)) {
    m_strReadFailure = std::string(std::strerror(errno)) + ".";
    return false;
  }
  if (now != m_stamp) {
    m_strReadFailure = ChangeText(m_stamp, now);
    return false;
  }
  return true;
}

bool CDloadFile::StillAsChecked() {
  CReadOnlyFile file;
  return OpenAsChecked(file);
}

bool CDloadFile::ReadBlock(uint32_t base, uint32_t index, BlockRecord& record) {
  CReadOnlyFile file;
  if (!OpenAsChecked(file)) return false;
  const uint32_t addr = base + index * kBlockStep;  // wraps modulo 2^32
  record.SetAddress(addr);
  if (addr >= m_dwFileSize) {
    m_strReadFailure = Tr("The block lies beyond the end of the image file.");
    return false;
  }

  std::array<uint8_t, kBlockDataSize> data;
  size_t got = 0;
  const auto result = file.ReadAt(addr, data.data(), data.size(), got);
  const int error = errno;
  file.Close();
  if (result == CReadOnlyFile::ReadResult::Error) {
    m_strReadFailure = std::string(std::strerror(error)) + ".";
    return false;
  }
  if (result == CReadOnlyFile::ReadResult::Short) {
    // Never hand out a block we do not have.
    trace::Printf("image block 0x%08" PRIX32 ": file ends after %zu of %zu bytes\n", addr, got,
                  data.size());
    m_strReadFailure = TrFormat("The image file ends %zu bytes into the block.", got);
    return false;
  }
  record.SetLength(static_cast<uint16_t>(kBlockDataSize));
  std::memcpy(record.Data(), data.data(), data.size());
  return true;
}

bool CDloadFile::ReadFontBlock(uint32_t base, uint32_t index, BlockRecord& record) {
  CReadOnlyFile file;
  if (!OpenAsChecked(file)) return false;
  record.SetAddress(base + index * kBlockStep);  // wraps modulo 2^32
  record.SetLength(static_cast<uint16_t>(kBlockDataSize));

  // The offset is not wrapped: a font block past the end of the file is simply erased flash.
  const uint64_t offset = static_cast<uint64_t>(index) * kBlockStep;
  std::array<uint8_t, kBlockDataSize> data;
  size_t got = 0;
  const auto result = file.ReadAt(offset, data.data(), data.size(), got);
  const int error = errno;
  file.Close();
  if (result == CReadOnlyFile::ReadResult::Error) {
    m_strReadFailure = std::string(std::strerror(error)) + ".";
    return false;
  }
  // Past the end as checked: erased flash, whatever the file may hold there by now.
  const uint64_t inFile = offset < m_dwFileSize ? std::min<uint64_t>(got, m_dwFileSize - offset) : 0;
  std::memcpy(record.Data(), data.data(), inFile);
  std::memset(record.Data() + inFile, kErasedByte, data.size() - inFile);
  return true;
}
