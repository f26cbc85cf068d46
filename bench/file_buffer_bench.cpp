// Filling an in-memory file: 1024-byte writes that grow it each time, against
// the same writes after one resize to the final size.
//
//   build-bench/bench/file_buffer_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <vector>

#include "io/file_buffer.h"

namespace {

constexpr uint64_t total = 256u << 20;
constexpr uint32_t chunk = 1024;

void fill(benchmark::State& state, bool presize) {
  std::vector<uint8_t> block(chunk, 0x5A);
  abort_callback_dummy abort;
  for (auto _ : state) {
    sonovale_io::file_ptr f = make_file_buffer(0, 0);
    if (presize) {
      f->resize(total, abort);
      f->seek(0, abort);
    }
    for (uint64_t done = 0; done < total; done += chunk) f->write(block.data(), chunk, abort);
    benchmark::DoNotOptimize(f.get_ptr());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}

void growing_writes(benchmark::State& state) { fill(state, false); }
void presized_writes(benchmark::State& state) { fill(state, true); }

}  // namespace

BENCHMARK(growing_writes)->Unit(benchmark::kMillisecond);
BENCHMARK(presized_writes)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
