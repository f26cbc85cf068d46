// GZ timings, round-robin in one run.
//
//   gz_bench FILE.gz [ROUNDS [SMALL.gz HUGE.gz]]
//
// Each round times, in rotating order:
//   open_member   the GZ archive opening the file's member through the host's
//                 local filesystem (inflated into the in-memory file)
//   inflater      the module's gzip decoder alone, through the host's local
//                 file, into one buffer allocated and touched beforehand and
//                 reused every round (no page faults on fresh memory)
//   view pass     a decoded-view pass over the file from its start, read in
//                 1 MiB pieces into one reused buffer, checkpoints recorded
//   zlib          zlib alone: the file read in 16 KiB pieces and inflated
//                 into a buffer allocated beforehand at the known size
//   gzip -dc      gzip -dc FILE > /dev/null, in a child process
//   igzip -d -c   igzip -d -c FILE > /dev/null (ISA-L's tool), when installed
// and prints each one's median and best wall time and the ratios. With SMALL
// and HUGE it also times get_member_stats and a listing without readers on
// both, to show that they do not depend on the file's size.
// bench/run_gz.sh builds the inputs and runs this.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/data_reader.h"
#include "archive/member_path.h"
#include "bench/bench_host.h"
#include "formats/gzip/gzip_archive.h"
#include "formats/gzip/gzip_reader.h"
#include "formats/gzip/gzip_view.h"
#include "host/native_filesystem.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

// zlib inflating `path` into a buffer of `size` bytes allocated up front.
// Returns the bytes produced; exits on any failure.
uint64_t zlib_inflate_presized(const char* path, uint64_t size, std::unique_ptr<uint8_t[]>& out) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) std::exit(2);
  out.reset(new uint8_t[size != 0 ? size : 1]);
  z_stream s{};
  if (inflateInit2(&s, 31) != Z_OK) std::exit(2);
  uint8_t input[16384];
  s.next_out = out.get();
  s.avail_out = static_cast<uInt>(size);
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    if (s.avail_in == 0) {
      size_t got = std::fread(input, 1, sizeof input, f);
      if (got == 0) std::exit(3);
      s.next_in = input;
      s.avail_in = static_cast<uInt>(got);
    }
    result = inflate(&s, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) std::exit(3);
  }
  uint64_t produced = s.total_out;
  inflateEnd(&s);
  std::fclose(f);
  return produced;
}

// The module's decoder inflating `path` into `out`, which holds `size`
// bytes. Returns the bytes produced; exits on any failure.
uint64_t inflater_into(const char* path, uint8_t* out, uint64_t size) {
  file_ptr file;
  filesystem::g_open(file, path, open_mode_read, no_abort);
  sonovale_File_Reader reader(file, no_abort);
  Gzip_Reader decoder;
  if (decoder.open(reader) != nullptr || !decoder.active()) std::exit(3);
  uint64_t done = 0;
  while (!decoder.ended()) {
    uint32_t got = 0;
    auto room = static_cast<uint32_t>(std::min<uint64_t>(size - done, 1 << 20));
    if (room == 0 || decoder.inflate_some(out + done, room, got) != nullptr) std::exit(3);
    done += got;
  }
  return done;
}

// Keeps the number of checkpoints a pass reports.
class counting_sink : public checkpoint_sink {
 public:
  void add_checkpoint(view_checkpoint&&) override { ++count; }
  int count = 0;
};

// A view pass over `path` from its start into a reused 1 MiB buffer.
// Returns the bytes produced; exits on any failure.
uint64_t view_pass_over(const char* path, std::vector<uint8_t>& buffer) {
  file_ptr file;
  filesystem::g_open(file, path, open_mode_read, no_abort);
  counting_sink sink;
  std::unique_ptr<view_pass> pass = gzip_view_format().start(file, nullptr, sink, no_abort);
  uint64_t done = 0;
  for (;;) {
    size_t got = pass->decode(buffer.data(), buffer.size(), no_abort);
    done += got;
    if (got < buffer.size()) return done;
  }
}

// Counts members and keeps the last size reported.
class counting_callback : public member_callback {
 public:
  bool is_aborting() const override { return false; }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(archive*, const char*, const file_stats& stats, file_ptr&) override {
    size = stats.size;
    return true;
  }
  uint64_t size = 0;
};

// Median time of one call of `run`, over `calls` calls, in microseconds.
double median_call_us(int calls, const std::function<void()>& run) {
  std::vector<double> t;
  for (int i = 0; i < calls; ++i) t.push_back(seconds_of(run) * 1e6);
  return median(t);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gz_bench FILE.gz [ROUNDS [SMALL.gz HUGE.gz]]\n");
    return 2;
  }
  const std::string input = argv[1];
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

  service_impl_single_t<native_filesystem> native;
  service_impl_single_t<archive_gz> gz;
  bench_host host({&native, &gz});

  // The reference size and content, checked against ours once.
  file_ptr archive_file;
  filesystem::g_open(archive_file, input.c_str(), open_mode_read, no_abort);
  uint64_t size = gzip_announced_size(archive_file, no_abort);
  archive_file.release();
  std::unique_ptr<uint8_t[]> reference;
  if (zlib_inflate_presized(input.c_str(), size, reference) != size) {
    std::fprintf(stderr, "gz_bench: %s is not a single gzip member\n", input.c_str());
    return 2;
  }
  plix::string8 path;
  make_member_path(path, gz, input.c_str(), "member");
  {
    file_ptr member;
    gz.open_member(member, input.c_str(), "member", no_abort);
    std::unique_ptr<uint8_t[]> ours(new uint8_t[size + 1]);
    if (member->read(ours.get(), static_cast<uint32_t>(size + 1), no_abort) != size ||
        std::memcmp(ours.get(), reference.get(), size) != 0) {
      std::fprintf(stderr, "gz_bench: open_member differs from zlib\n");
      return 1;
    }
  }
  reference.reset();
  std::printf("input %s: %llu bytes inflated\n", input.c_str(), (unsigned long long)size);

  std::string gunzip = "gzip -dc '" + input + "' > /dev/null";
  std::string igzip = "igzip -d -c '" + input + "' > /dev/null";
  bool have_igzip = std::system("command -v igzip > /dev/null") == 0;
  // One byte more than the content, so that the decoder sees the end.
  std::vector<uint8_t> reused(size + 1, 1);
  std::vector<uint8_t> pass_buffer(1 << 20, 1);
  std::vector<contender> contenders = {
      {"open_member",
       [&] {
         file_ptr member;
         gz.open_member(member, input.c_str(), "member", no_abort);
         if (member->get_size(no_abort) != size) std::exit(1);
       },
       {}},
      {"inflater",
       [&] {
         if (inflater_into(input.c_str(), reused.data(), reused.size()) != size) std::exit(1);
       },
       {}},
      {"view pass",
       [&] {
         if (view_pass_over(input.c_str(), pass_buffer) != size) std::exit(1);
       },
       {}},
      {"zlib",
       [&] {
         std::unique_ptr<uint8_t[]> out;
         if (zlib_inflate_presized(input.c_str(), size, out) != size) std::exit(1);
       },
       {}},
      {"gzip -dc",
       [&] {
         if (std::system(gunzip.c_str()) != 0) std::exit(1);
       },
       {}},
  };
  if (have_igzip) {
    contenders.push_back({"igzip -d -c",
                          [&] {
                            if (std::system(igzip.c_str()) != 0) std::exit(1);
                          },
                          {}});
  }
  run_round_robin(contenders, rounds);
  print_times(contenders, rounds, size, 12);
  double ours = median(contenders[0].times), inflater = median(contenders[1].times),
         view = median(contenders[2].times), zlib = median(contenders[3].times),
         gzip = median(contenders[4].times);
  std::printf("open_member / zlib        = %.3f\n", ours / zlib);
  std::printf("gzip -dc / open_member    = %.3f  (target >= 2.5)\n", gzip / ours);
  std::printf("gzip -dc / inflater       = %.3f\n", gzip / inflater);
  std::printf("open_member / inflater    = %.3f  (what filling fresh memory adds)\n",
              ours / inflater);
  std::printf("view pass / inflater      = %.3f\n", view / inflater);
  if (have_igzip) {
    double isal = median(contenders[5].times);
    std::printf("open_member / igzip -d -c = %.3f  (target <= 1.3)\n", ours / isal);
    std::printf("inflater / igzip -d -c    = %.3f\n", inflater / isal);
  }

  if (argc > 4) {
    std::printf("statistics without inflating (median of 200 calls):\n");
    for (const char* file : {argv[3], argv[4]}) {
      file_ptr f;
      filesystem::g_open(f, file, open_mode_read, no_abort);
      uint64_t bytes = f->get_size(no_abort);
      f.release();
      double stats_us = median_call_us(200, [&] { gz.get_member_stats(file, "x", no_abort); });
      double list_us = median_call_us(200, [&] {
        counting_callback callback;
        file_ptr none;
        gz.list_members(file, none, callback, false);
      });
      std::printf("  %-40s %12llu bytes: get_member_stats %7.1f us, listing %7.1f us\n", file,
                  (unsigned long long)bytes, stats_us, list_us);
    }
  }
  return 0;
}
