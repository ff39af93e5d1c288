// What the receive thread's pause before each read costs the processor: the thread sleeps and
// is woken again, twice for every reply. Real time is the pause; CPU time is its price.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "Thrdrx.h"

namespace {

void BM_ReceivePause(benchmark::State& state) {
  for (auto _ : state) std::this_thread::sleep_for(std::chrono::milliseconds(CThreadRX::kBurstPauseMs));
}
BENCHMARK(BM_ReceivePause)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
