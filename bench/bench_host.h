// What the benchmark programs share: a host whose filesystems they open
// files through, and contenders timed round-robin.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <vector>

#include "abi/host_api.h"
#include "host/service_registry.h"
#include "io/filesystem.h"

// A service registry holding `filesystems` in order, installed as the
// module's host API for the object's lifetime. The filesystems must
// outlive it: declare them first.
class bench_host {
 public:
  explicit bench_host(std::initializer_list<service_base*> filesystems) {
    for (service_base* fs : filesystems) registry_.add(sonovale_io::filesystem::class_guid, fs);
    set_module_host_api(&registry_);
  }
  ~bench_host() {
    set_module_host_api(nullptr);
    registry_.clear();
  }
  bench_host(const bench_host&) = delete;
  bench_host& operator=(const bench_host&) = delete;

 private:
  service_registry registry_;
};

// The median of `v`: its middle value, or the mean of its two middle ones.
// Precondition: `v` is not empty.
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The wall time `run` takes, in seconds.
inline double seconds_of(const std::function<void()>& run) {
  auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One of the things a benchmark times: its name, what it runs, and the
// wall times of its runs so far.
struct contender {
  const char* name;
  std::function<void()> run;
  std::vector<double> times;
};

// Runs every contender once per round for `rounds` rounds, each round
// starting one contender further on, so that none always runs after the
// same neighbour on a shared machine.
inline void run_round_robin(std::vector<contender>& contenders, int rounds) {
  const size_t n = contenders.size();
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < n; ++i) {
      contender& c = contenders[(round + i) % n];
      c.times.push_back(seconds_of(c.run));
    }
  }
}

// Prints the number of rounds, then each contender's median and best wall
// time and its rate over `output_bytes` of output, its name padded to
// `name_width` columns.
inline void print_times(const std::vector<contender>& contenders, int rounds, uint64_t output_bytes,
                        int name_width) {
  std::printf("%d rounds, wall time per run:\n", rounds);
  for (const contender& c : contenders) {
    std::printf("  %-*s median %8.1f ms  best %8.1f ms  %7.1f MB/s (output)\n", name_width, c.name,
                median(c.times) * 1e3, *std::min_element(c.times.begin(), c.times.end()) * 1e3,
                output_bytes / median(c.times) / 1e6);
  }
}
