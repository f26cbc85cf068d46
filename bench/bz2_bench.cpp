// bzip2 decoding against libbz2, the bzip2 tool and lbzip2, round-robin.
//
//   bz2_bench [ROUNDS] [FILE.bz2...]
//
// Without files it decodes the .bz2 files of SHARED_DIR/bench-data. Each
// round runs, per file and in rotating order, these contenders, each in its
// own child process so that peak memory (maximum resident set) is per run:
//   ours       bz2_decode_into with one worker (decoding in sequence) from an
//              in-memory file into a growing file_buffer
//   open1      the BZ2 archive's open_member through the host's local
//              filesystem (what opening a .bz2 member does), one worker
//   open       the same with the default worker count (one per processor)
//   presized   bz2_decode_into with the default worker count into a
//              file_buffer already of the output's size, so that writes
//              never reallocate (the cost of growth is the difference)
//   libbz2     BZ2_bzBuffToBuffDecompress into a buffer of the output's size
//   tool       `bzip2 -dc FILE > /dev/null`, timed from fork to reaping
//   lbzip2     `lbzip2 -n WORKERS -dc FILE > /dev/null`, likewise (when
//              installed)
// The in-process contenders time only the decoding call, after reading or
// opening the compressed file. Prints, as medians, MB/s of output by
// processor time for the contenders in sequence, then wall times of all
// and their ratios, and the memory each adds while decoding beyond its
// output. The machine may be shared: compare within one run only.
#include <bzlib.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "archive/member_path.h"
#include "bench/bench_host.h"
#include "formats/bzip2/bz2_archive.h"
#include "formats/bzip2/bz2_decoder.h"
#include "formats/bzip2/bz2_parallel.h"
#include "host/native_filesystem.h"
#include "io/file_buffer.h"

using sonovale_io::file_ptr;

namespace {

std::string read_file(const std::string& path) {
  std::string content(std::filesystem::file_size(path), '\0');
  std::ifstream(path, std::ios::binary).read(content.data(), content.size());
  return content;
}

// Resident set now and at its peak, in KiB.
long resident_kib() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f != nullptr) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peak_kib() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

file_ptr memory_file(const std::string& content) {
  abort_callback_dummy abort;
  file_ptr f = make_file_buffer(0, 0);
  f->write(content.data(), static_cast<uint32_t>(content.size()), abort);
  f->reopen(abort);
  return f;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor time of this process: less disturbed than wall time by
// neighbours on a shared machine.
double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

struct sample {
  double wall;  // seconds
  double cpu;   // seconds of processor time
  long peak_kib;
  long growth_kib;
};

// What a child measured itself: wall and processor seconds of the timed
// call, or a negative wall time for failure.
struct timing {
  double wall, cpu;
  long growth_kib;  // peak resident set during the call above the set before it
};

template <typename F>
timing timed(F call) {
  long resident = resident_kib();
  double wall = now(), cpu = cpu_now();
  bool ok = call();
  return {ok ? now() - wall : -1, cpu_now() - cpu, peak_kib() - resident};
}

// Runs `child` in a forked process. A child that execs another program
// reports nothing and is timed from fork to reaping, its processor time
// taken from the kernel's accounting.
sample run_forked(const std::function<timing()>& child) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(2);
  double start = now();
  pid_t pid = fork();
  if (pid < 0) std::exit(2);
  if (pid == 0) {
    close(fds[0]);
    timing t = child();
    if (write(fds[1], &t, sizeof t) != sizeof t) _exit(3);
    _exit(t.wall < 0 ? 1 : 0);
  }
  close(fds[1]);
  timing t{0, 0, 0};
  ssize_t got = read(fds[0], &t, sizeof t);
  close(fds[0]);
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      (got != 0 && got != sizeof t)) {
    std::fprintf(stderr, "child failed (status %d)\n", status);
    std::exit(2);
  }
  if (got == 0) {
    t.wall = now() - start;
    t.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  }
  return {t.wall, t.cpu, usage.ru_maxrss, t.growth_kib};
}

// Runs `program` with `args` and the output to /dev/null; returns only
// when it cannot be started.
timing run_tool(const char* program, std::vector<std::string> args) {
  int out = open("/dev/null", O_WRONLY);
  if (out >= 0 && dup2(out, 1) >= 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(program, argv.data());
  }
  return {-1, 0, 0};
}

timing run_ours(const std::string& path, uint64_t expected_size, bool presized, unsigned workers) {
  abort_callback_dummy abort;
  bz2_set_decoder_threads(workers);
  // Read straight into the input file: a large temporary freed before the
  // call would raise the allocator's threshold for using fresh mappings and
  // change how the output grows.
  file_ptr input = make_file_buffer(std::filesystem::file_size(path), 0);
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(static_cast<file_buffer*>(input.get_ptr())->content()),
            static_cast<std::streamsize>(input->get_size(abort)));
  file_ptr output = make_file_buffer(0, 0);
  if (presized) output->resize(expected_size, abort);
  return timed([&] {
    bz2_decode_into(input, abort, output);
    return output->get_size(abort) == expected_size;
  });
}

// Opens the one member of `path` as the host would, through the local
// filesystem and the BZ2 archive service.
timing run_open_member(const std::string& path, uint64_t expected_size, unsigned workers) {
  abort_callback_dummy abort;
  bz2_set_decoder_threads(workers);
  service_impl_single_t<native_filesystem> native;
  service_impl_single_t<archive_bz2> archive;
  bench_host host({&native, &archive});
  return timed([&] {
    file_ptr member;
    archive.open_member(member, path.c_str(), "member", abort);
    return member->get_size(abort) == expected_size;
  });
}

timing run_libbz2(const std::string& path, uint64_t expected_size) {
  std::string compressed = read_file(path);
  std::vector<char> output(expected_size + 1);
  return timed([&] {
    unsigned int size = static_cast<unsigned int>(output.size());
    int rc = BZ2_bzBuffToBuffDecompress(output.data(), &size, compressed.data(),
                                        static_cast<unsigned int>(compressed.size()), 0, 0);
    return rc == BZ_OK && size == expected_size;
  });
}

struct series {
  std::vector<double> wall, cpu;
  long peak_kib = 0, growth_kib = 0;
  void add(const sample& s) {
    wall.push_back(s.wall);
    cpu.push_back(s.cpu);
    peak_kib = std::max(peak_kib, s.peak_kib);
    growth_kib = std::max(growth_kib, s.growth_kib);
  }
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  static double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
};

enum contender { ours, open1, open_all, presized, libbz2, tool, lbzip2, contender_count };
const char* const contender_names[] = {"ours",   "open1", "open",  "presized",
                                       "libbz2", "tool",  "lbzip2"};

bool have_lbzip2() {
  return std::system("lbzip2 --version > /dev/null 2>&1") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  std::vector<std::string> files(argv + std::min(argc, 2), argv + argc);
  if (files.empty()) {
    std::filesystem::path data = std::filesystem::path(SHARED_DIR) / "bench-data";
    if (!std::filesystem::is_directory(data)) {
      std::fprintf(stderr, "bz2_bench: %s is not present; name the files to decode\n",
                   data.c_str());
      return 2;
    }
    for (const auto& entry : std::filesystem::directory_iterator(data)) {
      if (entry.path().extension() == ".bz2") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
  }
  if (rounds < 1 || files.empty()) {
    std::fprintf(stderr, "usage: %s [ROUNDS] [FILE.bz2...]\n", argv[0]);
    return 2;
  }
  const unsigned workers = bz2_decoder_threads();
  const bool lbzip2_present = have_lbzip2();
  if (!lbzip2_present) std::fprintf(stderr, "bz2_bench: lbzip2 is not installed; skipping it\n");

  // Output sizes, and a check that ours (with workers) and libbz2 agree
  // byte for byte.
  std::vector<uint64_t> sizes;
  for (const std::string& path : files) {
    uint64_t size = 0;
    sample check = run_forked([&] {
      abort_callback_dummy abort;
      std::string compressed = read_file(path);
      file_ptr output = make_file_buffer(0, 0);
      bz2_decode_into(memory_file(compressed), abort, output);
      uint64_t n = output->get_size(abort);
      std::vector<char> reference(n + 1);
      unsigned int got = static_cast<unsigned int>(reference.size());
      int rc = BZ2_bzBuffToBuffDecompress(reference.data(), &got, compressed.data(),
                                          static_cast<unsigned int>(compressed.size()), 0, 0);
      bool same = rc == BZ_OK && got == n &&
                  std::memcmp(reference.data(),
                              static_cast<file_buffer*>(output.get_ptr())->content(), n) == 0;
      // The size travels back in the wall-time field.
      return timing{same ? static_cast<double>(n) : -1.0, 0, 0};
    });
    size = static_cast<uint64_t>(check.wall);
    sizes.push_back(size);
  }

  std::string worker_text = std::to_string(workers);
  std::vector<std::vector<series>> results(files.size(), std::vector<series>(contender_count));
  for (int round = 0; round < rounds; ++round) {
    for (size_t f = 0; f < files.size(); ++f) {
      for (int turn = 0; turn < contender_count; ++turn) {
        int c = (turn + round + static_cast<int>(f)) % contender_count;
        const std::string& path = files[f];
        uint64_t size = sizes[f];
        sample s;
        switch (c) {
          case ours: s = run_forked([&] { return run_ours(path, size, false, 1); }); break;
          case open1: s = run_forked([&] { return run_open_member(path, size, 1); }); break;
          case open_all:
            s = run_forked([&] { return run_open_member(path, size, workers); });
            break;
          case presized: s = run_forked([&] { return run_ours(path, size, true, workers); }); break;
          case libbz2: s = run_forked([&] { return run_libbz2(path, size); }); break;
          case tool: s = run_forked([&] { return run_tool("bzip2", {"-dc", path}); }); break;
          default:
            if (!lbzip2_present) continue;
            s = run_forked([&] { return run_tool("lbzip2", {"-n", worker_text, "-dc", path}); });
            break;
        }
        results[f][c].add(s);
      }
    }
  }

  std::printf("%d rounds, %u workers; medians.\n", rounds, workers);
  std::printf(
      "Decoding in sequence, MB/s of output (10^6 bytes) by processor time, and the ratio\n"
      "to libbz2 by processor time and by wall time:\n");
  std::printf("%-13s %7s %8s %8s %8s %7s %7s\n", "file", "out MB", "ours", "libbz2", "tool",
              "ratio", "wall");
  double total_cpu[contender_count] = {}, total_wall[contender_count] = {};
  double total_bytes = 0;
  std::vector<std::vector<double>> wall(files.size(), std::vector<double>(contender_count, 0));
  for (size_t f = 0; f < files.size(); ++f) {
    double mb = sizes[f] / 1e6;
    double cpu[contender_count] = {};
    for (int c = 0; c < contender_count; ++c) {
      if (results[f][c].wall.empty()) continue;
      cpu[c] = series::median(results[f][c].cpu);
      wall[f][c] = series::median(results[f][c].wall);
      total_cpu[c] += cpu[c];
      total_wall[c] += wall[f][c];
    }
    total_bytes += sizes[f];
    std::printf("%-13s %7.1f %8.1f %8.1f %8.1f %7.2f %7.2f\n",
                std::filesystem::path(files[f]).stem().c_str(), mb, mb / cpu[ours],
                mb / cpu[libbz2], mb / cpu[tool], cpu[libbz2] / cpu[ours],
                wall[f][libbz2] / wall[f][ours]);
  }
  double mb = total_bytes / 1e6;
  std::printf("%-13s %7.1f %8.1f %8.1f %8.1f %7.2f %7.2f\n", "all", mb, mb / total_cpu[ours],
              mb / total_cpu[libbz2], mb / total_cpu[tool], total_cpu[libbz2] / total_cpu[ours],
              total_wall[libbz2] / total_wall[ours]);
  // The fastest round of each is least disturbed by neighbours.
  double best_ours = 0, best_libbz2 = 0;
  for (size_t f = 0; f < files.size(); ++f) {
    best_ours += series::best(results[f][ours].cpu);
    best_libbz2 += series::best(results[f][libbz2].cpu);
  }
  std::printf("%-13s %7.1f %8.1f %8.1f %8s %7.2f   (fastest rounds)\n", "all", mb, mb / best_ours,
              mb / best_libbz2, "", best_libbz2 / best_ours);

  std::printf(
      "\nWall time in ms; ratios of wall time (above 1: `open` is faster); KiB: resident\n"
      "memory that `open` adds beyond its output, at its peak:\n");
  std::printf("%-13s", "file");
  for (int c = 0; c < contender_count; ++c) std::printf(" %8s", contender_names[c]);
  std::printf(" %9s %9s %9s %9s\n", "tool/open", "lbz/open", "open1/open", "open KiB");
  for (size_t f = 0; f < files.size(); ++f) {
    std::printf("%-13s", std::filesystem::path(files[f]).stem().c_str());
    for (int c = 0; c < contender_count; ++c) std::printf(" %8.0f", wall[f][c] * 1e3);
    double open = wall[f][open_all];
    long out_kib = static_cast<long>(sizes[f] / 1024);
    std::printf(" %9.2f %9.2f %9.2f %9ld\n", wall[f][tool] / open, wall[f][lbzip2] / open,
                wall[f][open1] / open, results[f][open_all].growth_kib - out_kib);
  }
  return 0;
}
