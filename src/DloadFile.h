#pragma once
// The firmware image the user chose: its trailer checks and the 4096-byte blocks served to the
// download engine. The file is opened by path for each operation and closed before it returns.
#include <cstdint>
#include <string>

#include "BlockRecord.h"
#include "ReadOnlyFile.h"
#include "platform/MessageBox.h"

class CDloadFile {
 public:
  static constexpr uint8_t kTypeFont = 2;  // download type index of FONT

  // Failures are reported through boxes; without a service they only go to the trace and the
  // start-address question is answered No.
  explicit CDloadFile(CMessageBoxService* boxes = nullptr);
  virtual ~CDloadFile() = default;
  CDloadFile(const CDloadFile&) = delete;
  CDloadFile& operator=(const CDloadFile&) = delete;

  void SetMessageBoxService(CMessageBoxService* boxes) { m_pBoxes = boxes; }

  // Opens, checks and records the image; type is the download type index (2 is FONT).
  bool Open(const std::string& path, uint8_t type);
  void Reset();

  bool IsValid() const { return m_bValid; }
  // The last Open accepted the file, as an image or as a font.
  bool IsOpened() const { return m_bOpened; }
  // The last Open failed only because the odd start address was not accepted.
  bool WasDeclined() const { return m_bDeclined; }
  uint32_t GetSize() const { return m_dwFileSize; }
  uint32_t GetVersion() const { return m_dwSwVersion; }
  uint32_t GetStartAddress() const { return m_dwAppStart; }

  // The file accepted by the last Open is still the one it checked: same file, size and time of
  // its last change. A Run may come long after the Open; a file rebuilt or copied over since has
  // not been checked. False (LastReadFailure() says why) when it changed or cannot be opened.
  bool StillAsChecked();

  // Blocks are read only from the file as it was checked: one that has changed in any way since
  // (replaced, rewritten, grown, shrunk, gone) serves none, so a download never mixes two files
  // nor sends bytes that were not there when the trailer was checked. No box is shown: the
  // caller ends the download and says why with LastReadFailure().
  //
  // Image block: file offset and flash address are both base + index * 4096. True only when a
  // whole block was read.
  bool ReadBlock(uint32_t base, uint32_t index, BlockRecord& record);
  // Font block: file offset index * 4096, flash address base + index * 4096. Bytes past the end
  // of the file are 0xFF, the erased-flash value.
  bool ReadFontBlock(uint32_t base, uint32_t index, BlockRecord& record);
  // Why the last block read or StillAsChecked failed, in a sentence for the user.
  const std::string& LastReadFailure() const { return m_strReadFailure; }

  // The start-address rule: a multiple of 4096 that is 0 or at least 0x4000.
  static bool IsGoodStartAddress(uint32_t addr);

 private:
  int Box(const std::string& text, unsigned type);
  void ShowReadFailure(const std::string& reason);
  // Opens the file for a block read; false, with the reason kept, unless it is as checked.
  bool OpenAsChecked(CReadOnlyFile& file);

  uint32_t m_dwFileSize = 0;
  uint32_t m_dwSwVersion = 0;
  uint32_t m_dwAppStart = 0;
  std::string m_strPath;
  bool m_bValid = false;
  bool m_bOpened = false;
  bool m_bDeclined = false;
  CReadOnlyFile::Stamp m_stamp;  // of the file as Open checked it
  std::string m_strReadFailure;
  CMessageBoxService* m_pBoxes = nullptr;
};
