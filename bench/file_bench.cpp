// Reading the next block from the image, as the engine does before each block write (the file
// is opened and closed each time).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "DloadFile.h"

namespace {

constexpr uint32_t kStart = 0x10000;
constexpr uint32_t kBlocks = 256;

// A 1 MiB image past its start address, with a valid trailer; removed at the end.
class CTempImage {
 public:
  CTempImage() {
    char name[] = "/tmp/tarvisel-bench-XXXXXX.bin";
    const int fd = ::mkstemps(name, 4);
    if (fd < 0) return;
    ::close(fd);
    m_path = name;
    std::vector<uint8_t> image(kStart + kBlocks * 4096, 0x5A);
    const size_t t = image.size() - 37;
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(t), image.end(), 0);
    image[t] = 0xFF;
    image[t + 1] = 0x1D;
    image[t + 2] = 0x00;
    image[t + 17] = 203;               // version, little-endian
    image[t + 23] = kStart >> 16;      // start address 0x10000, little-endian
    std::ofstream(m_path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                  static_cast<std::streamsize>(image.size()));
  }
  ~CTempImage() {
    if (!m_path.empty()) std::remove(m_path.c_str());
  }
  CTempImage(const CTempImage&) = delete;
  CTempImage& operator=(const CTempImage&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

void BM_ReadBlock(benchmark::State& state) {
  CTempImage image;
  CDloadFile file;
  if (image.Path().empty() || !file.Open(image.Path(), 1) || !file.IsValid()) {
    state.SkipWithError("the image did not open");
    return;
  }
  BlockRecord record;
  uint32_t i = 0;
  bool ok = true;
  for (auto _ : state) {
    ok &= file.ReadBlock(kStart, i, record);
    i = (i + 1) % kBlocks;
  }
  if (!ok) state.SkipWithError("a block was not read");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 4096));
}
BENCHMARK(BM_ReadBlock);

}  // namespace
