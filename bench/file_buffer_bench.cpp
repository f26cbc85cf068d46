// Filling a 256 MiB in-memory file, three ways:
//   growing_writes     1024-byte writes into an empty file, which grows
//   presized_writes    the same writes after one resize to the final size
//   presized_in_place  one resize, then 1024-byte copies into content()
// The counter huge_MiB is the process's anonymous memory on huge pages
// (AnonHugePages in /proc/self/smaps_rollup) while the first filled file is
// alive, to show whether the kernel backed the file with them.
//
//   build-bench/bench/file_buffer_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "io/file_buffer.h"

namespace {

constexpr uint64_t total = 256u << 20;
constexpr uint32_t chunk = 1024;

// AnonHugePages of this process in MiB; 0 when the kernel does not say.
double huge_page_mib() {
  std::ifstream rollup("/proc/self/smaps_rollup");
  for (std::string line; std::getline(rollup, line);)
    if (line.rfind("AnonHugePages:", 0) == 0) return std::stod(line.substr(14)) / 1024;
  return 0;
}

enum class fill_kind { growing, presized, in_place };

void fill(benchmark::State& state, fill_kind kind) {
  std::vector<uint8_t> block(chunk, 0x5A);
  abort_callback_dummy abort;
  double huge = -1;
  for (auto _ : state) {
    sonovale_io::file_ptr f = make_file_buffer(0, 0);
    if (kind != fill_kind::growing) {
      f->resize(total, abort);
      f->seek(0, abort);
    }
    if (kind == fill_kind::in_place) {
      uint8_t* content = static_cast<file_buffer*>(f.get_ptr())->content();
      for (uint64_t done = 0; done < total; done += chunk)
        std::memcpy(content + done, block.data(), chunk);
    } else {
      for (uint64_t done = 0; done < total; done += chunk) f->write(block.data(), chunk, abort);
    }
    benchmark::DoNotOptimize(f.get_ptr());
    if (huge < 0) {
      state.PauseTiming();
      huge = huge_page_mib();
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
  state.counters["huge_MiB"] = huge;
}

void growing_writes(benchmark::State& state) {
  fill(state, fill_kind::growing);
}
void presized_writes(benchmark::State& state) {
  fill(state, fill_kind::presized);
}
void presized_in_place(benchmark::State& state) {
  fill(state, fill_kind::in_place);
}

}  // namespace

BENCHMARK(growing_writes)->Unit(benchmark::kMillisecond);
BENCHMARK(presized_writes)->Unit(benchmark::kMillisecond);
BENCHMARK(presized_in_place)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
