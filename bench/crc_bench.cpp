// The two check values over one block's worth of data.
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "Comm/Crc.h"

namespace {

constexpr size_t kBytes = 4096;

std::array<uint8_t, kBytes> RandomBytes() {
  std::array<uint8_t, kBytes> data{};
  std::mt19937 rng(4096);
  for (auto& b : data) b = static_cast<uint8_t>(rng() >> 24);
  return data;
}

void BM_Fcs16(benchmark::State& state) {
  const auto data = RandomBytes();
  for (auto _ : state) benchmark::DoNotOptimize(crc::Fcs16(data.data(), data.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_Fcs16);

void BM_Crc30(benchmark::State& state) {
  const auto data = RandomBytes();
  for (auto _ : state) benchmark::DoNotOptimize(crc::Crc30(data.data(), data.size() * 8));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_Crc30);

}  // namespace
