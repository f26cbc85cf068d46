// XZ and ZST timings, round-robin in one run.
//
//   xz_zstd_bench ROUNDS SINGLE.xz MULTI.xz FILE.zst
//
// SINGLE.xz is one block (xz -6), MULTI.xz several (xz -6 -T0), FILE.zst
// zstd -19; all hold the same content. Each round times, in rotating order:
//   xz one block       the XZ archive opening SINGLE.xz's member through the
//                      host's local filesystem (decoded into the in-memory
//                      file)
//   xz -dc -T1 one     xz -dc -T1 SINGLE.xz > /dev/null, in a child process
//   xz blocks          the same for MULTI.xz, one thread per core
//   xz blocks, 1 thr   MULTI.xz decoded in the calling thread alone
//   xz -dc -T1 blocks  xz -dc -T1 MULTI.xz > /dev/null
//   zst                the ZST archive opening FILE.zst's member
//   zstd -dc           zstd -dc FILE.zst > /dev/null
// and prints each one's median and best wall time and the ratios the
// targets name. bench/run_xz_zstd.sh builds the inputs and runs this.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_host.h"
#include "formats/xz/xz_archive.h"
#include "formats/zstd/zstd_archive.h"
#include "host/native_filesystem.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

uint64_t opened_size(archive_impl& archive, const std::string& path) {
  file_ptr member;
  archive.open_member(member, path.c_str(), "member", no_abort);
  return member->get_size(no_abort);
}

void shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "xz_zstd_bench: '%s' failed\n", command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: xz_zstd_bench ROUNDS SINGLE.xz MULTI.xz FILE.zst\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  const std::string single = argv[2], multi = argv[3], zst_file = argv[4];

  service_impl_single_t<native_filesystem> native;
  service_impl_single_t<archive_xz> xz;
  service_impl_single_t<archive_zst> zst;
  bench_host host({&native, &xz, &zst});

  const uint64_t size = opened_size(xz, single);
  if (opened_size(xz, multi) != size || opened_size(zst, zst_file) != size) {
    std::fprintf(stderr, "xz_zstd_bench: the inputs do not hold the same content\n");
    std::exit(1);
  }
  std::printf("content: %llu bytes; decoder threads: %u\n", (unsigned long long)size,
              xz_decoder_threads());

  auto opens = [&](archive_impl& archive, const std::string& path, uint32_t threads) {
    return [&archive, path, threads, size] {
      xz_set_decoder_threads(threads);
      if (opened_size(archive, path) != size) std::exit(1);
      xz_set_decoder_threads(0);
    };
  };
  std::vector<contender> contenders = {
      {"xz one block", opens(xz, single, 0), {}},
      {"xz -dc -T1 one", [&] { shell("xz -dc -T1 '" + single + "' > /dev/null"); }, {}},
      {"xz blocks", opens(xz, multi, 0), {}},
      {"xz blocks, 1 thr", opens(xz, multi, 1), {}},
      {"xz -dc -T1 blocks", [&] { shell("xz -dc -T1 '" + multi + "' > /dev/null"); }, {}},
      {"zst", opens(zst, zst_file, 0), {}},
      {"zstd -dc", [&] { shell("zstd -q -dc '" + zst_file + "' > /dev/null"); }, {}},
  };
  run_round_robin(contenders, rounds);
  print_times(contenders, rounds, size, 18);
  auto m = [&](int i) { return median(contenders[i].times); };
  std::printf("xz one block / xz -dc -T1    = %.3f  (target <= 1.05)\n", m(0) / m(1));
  std::printf("xz -dc -T1 / xz blocks       = %.3f  (target >= 1.7)\n", m(4) / m(2));
  std::printf("xz blocks 1 thr / xz -dc -T1 = %.3f  (target <= 1.05)\n", m(3) / m(4));
  std::printf("zst / zstd -dc               = %.3f  (target <= 1.05)\n", m(5) / m(6));
  return 0;
}
