// Opens or lists archive members through a module the way the program
// does (the stand-in host, the module's one export, member paths), timing
// each step in this one process, so that what an index kept from an
// earlier step shows in a later one.
//
//   views_probe MODULE open PATH...   opens each path in turn and reads it
//                                     whole: one line "open SECONDS BYTES"
//   views_probe MODULE list PATH      lists the archive at PATH with
//                                     readers, releasing each: one line
//                                     "list SECONDS MEMBERS BYTES"
//
// Every line ends with the peak resident memory so far in KiB. Used by
// bench/run_views.sh, which runs it round-robin against other programs.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/host.h"

using namespace sonovale_io;

namespace {

long peak_kib() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

uint64_t drain(file& f, abort_callback& abort) {
  static char buffer[1 << 20];
  uint64_t total = 0;
  for (uint32_t n; (n = f.read(buffer, sizeof buffer, abort)) != 0;) total += n;
  return total;
}

class counting_callback : public member_callback {
 public:
  explicit counting_callback(abort_callback& abort) : abort_(abort) {}
  bool is_aborting() const override { return abort_.is_aborting(); }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(archive*, const char*, const file_stats& stats, file_ptr& reader) override {
    ++members;
    bytes += stats.size;
    reader.release();
    return true;
  }
  uint64_t members = 0;
  uint64_t bytes = 0;

 private:
  abort_callback& abort_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: views_probe MODULE open PATH... | MODULE list PATH\n");
    return 2;
  }
  sonovale_host host;
  host.load_module(argv[1]);
  abort_callback& abort = host.abort();
  try {
    if (std::strcmp(argv[2], "open") == 0) {
      for (int i = 3; i < argc; ++i) {
        auto start = std::chrono::steady_clock::now();
        file_ptr f;
        filesystem::g_open(f, argv[i], open_mode_read, abort);
        uint64_t bytes = drain(*f, abort);
        std::printf("open %.4f %llu %ld\n", seconds_since(start),
                    static_cast<unsigned long long>(bytes), peak_kib());
      }
    } else if (std::strcmp(argv[2], "list") == 0) {
      archive_impl* a = host.archive_for(argv[3]);
      if (a == nullptr) throw std::runtime_error("no archive service for the path");
      auto start = std::chrono::steady_clock::now();
      counting_callback callback(abort);
      file_ptr none;
      a->list_members(argv[3], none, callback, true);
      std::printf("list %.4f %llu %llu %ld\n", seconds_since(start),
                  static_cast<unsigned long long>(callback.members),
                  static_cast<unsigned long long>(callback.bytes), peak_kib());
    } else {
      std::fprintf(stderr, "views_probe: unknown mode %s\n", argv[2]);
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "views_probe: %s\n", e.what());
    return 1;
  }
  return 0;
}
