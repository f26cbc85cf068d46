// TAR archive timings against GNU tar on the same archive, round-robin.
//
//   tar_bench ARCHIVE [ROUNDS]
//
// Each round runs, in alternating order, our operation and its tar
// counterpart, each in its own child process so that peak memory (maximum
// resident set) is measured per operation:
//   list      listing without readers        vs  tar -tf ARCHIVE
//   open      opening one member near the end vs  tar -xOf ARCHIVE MEMBER > /dev/null
//   extract   listing with readers            vs  tar -xf ARCHIVE -C fresh-folder
// Prints the median time and the largest peak memory of each, and the
// ratios. bench/run_tar.sh builds the archive and runs this.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/member_path.h"
#include "bench/bench_host.h"
#include "formats/tar/tar_archive.h"

using namespace sonovale_io;

namespace {

// A local file read with pread; read-only.
class disk_file : public file {
 public:
  disk_file(int fd, uint64_t size, uint64_t timestamp)
      : fd_(fd), size_(size), timestamp_(timestamp) {}
  ~disk_file() { close(fd_); }

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override {
    if (!(id == file::class_guid)) return false;
    out = static_cast<file*>(this);
    return true;
  }
  uint32_t read(void* buffer, uint32_t count, abort_callback&) override {
    uint32_t done = 0;
    while (done < count) {
      ssize_t got = pread(fd_, static_cast<char*>(buffer) + done, count - done,
                          static_cast<off_t>(position_ + done));
      if (got < 0) throw exception_io_data();
      if (got == 0) break;
      done += static_cast<uint32_t>(got);
    }
    position_ += done;
    return done;
  }
  void write(const void*, uint32_t, abort_callback&) override { throw exception_io_denied(); }
  uint64_t get_size(abort_callback&) override { return size_; }
  uint64_t get_position(abort_callback&) override { return position_; }
  void resize(uint64_t, abort_callback&) override { throw exception_io_denied(); }
  void seek(uint64_t position, abort_callback&) override { position_ = std::min(position, size_); }
  bool can_seek() override { return true; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return false; }
  void on_hint(void*) override {}
  uint64_t get_timestamp(abort_callback&) override { return timestamp_; }
  void reopen(abort_callback&) override { position_ = 0; }
  bool is_remote() override { return false; }

 private:
  int fd_;
  uint64_t size_, position_ = 0, timestamp_;
};

// Owns absolute local paths.
class disk_filesystem : public filesystem {
 public:
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override {
    if (!(id == filesystem::class_guid)) return false;
    out = this;
    return true;
  }
  bool get_canonical_path(const char*, plix::string_base&) override { return false; }
  bool is_our_path(const char* path) override { return path[0] == '/'; }
  bool get_display_path(const char*, plix::string_base&) override { return false; }
  void open(file_ptr& out, const char* path, open_mode mode, abort_callback&) override {
    if (mode != open_mode_read) throw exception_io_denied();
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw exception_io_not_found();
    struct stat st;
    fstat(fd, &st);
    out = new service_impl_t<disk_file>(fd, static_cast<uint64_t>(st.st_size),
                                        static_cast<uint64_t>(st.st_mtime));
  }
  void remove_object(const char*, abort_callback&) override { throw exception_io_denied(); }
  void move_object(const char*, const char*, abort_callback&) override {
    throw exception_io_denied();
  }
  bool is_remote(const char*) override { return false; }
  void get_stats(const char*, file_stats&, bool&, abort_callback&) override {
    throw exception_io_not_found();
  }
  bool make_reference_path(const char*, const char*, plix::string_base&) override { return false; }
  bool resolve_reference_path(const char*, const char*, plix::string_base&) override {
    return false;
  }
  void create_directory(const char*, abort_callback&) override { throw exception_io_denied(); }
  void list_directory(const char*, void*, abort_callback&) override {}
  bool supports_folders() override { return false; }
};

// Collects member names (when asked) and counts bytes handed over.
class collecting_callback : public member_callback {
 public:
  bool is_aborting() const override { return false; }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(archive*, const char* path, const file_stats& stats, file_ptr& reader) override {
    ++members;
    bytes += stats.size;
    largest = std::max(largest, stats.size);
    if (keep_names) {
      plix::string8 archive_path, member;
      parse_member_path(path, archive_path, member);
      names.emplace_back(member.get_ptr());
    }
    if (reader.is_valid()) {
      // Touch the content as a consumer would.
      abort_callback_dummy abort;
      char first;
      reader->read(&first, 1, abort);
    }
    return true;
  }
  bool keep_names = false;
  uint64_t members = 0, bytes = 0, largest = 0;
  std::vector<std::string> names;
};

struct sample {
  double seconds;
  long peak_kib;
};

// Runs `child` in a forked process (its exit status must be 0) and times it
// from fork to reaping.
sample run_forked(const std::function<int()>& child) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) std::exit(2);
  if (pid == 0) _exit(child());
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "child failed (status %d)\n", status);
    std::exit(2);
  }
  auto end = std::chrono::steady_clock::now();
  return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss};
}

sample run_command(std::vector<std::string> args, const char* stdout_path, const char* directory) {
  return run_forked([&] {
    if (directory != nullptr && chdir(directory) != 0) return 3;
    if (stdout_path != nullptr) {
      int fd = ::open(stdout_path, O_WRONLY);
      if (fd < 0 || dup2(fd, 1) < 0) return 4;
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    return 5;
  });
}

struct series {
  std::vector<double> seconds;
  long peak_kib = 0;
  void add(const sample& s) {
    seconds.push_back(s.seconds);
    peak_kib = std::max(peak_kib, s.peak_kib);
  }
  double median() const {
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string archive_path = std::filesystem::absolute(argv[1]);
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

  service_impl_single_t<disk_filesystem> disk;
  service_impl_single_t<archive_tar> tar;
  bench_host host({&disk, &tar});

  // The member near the end that both sides open: the one nine tenths of
  // the way through the listing.
  collecting_callback all;
  all.keep_names = true;
  file_ptr none;
  tar.list_members(archive_path.c_str(), none, all, false);
  if (all.names.empty()) return 2;
  const std::string member = all.names[all.names.size() * 9 / 10];
  plix::string8 member_path;
  make_member_path(member_path, tar, archive_path.c_str(), member.c_str());
  std::printf("archive %s: %llu members, %.1f MiB of member data, largest %.1f MiB\n",
              archive_path.c_str(), static_cast<unsigned long long>(all.members),
              all.bytes / 1048576.0, all.largest / 1048576.0);
  std::printf("member opened: %s\n", member.c_str());

  const sample baseline = run_forked([] { return 0; });

  auto ours_list = [&](bool readers) {
    return run_forked([&] {
      collecting_callback callback;
      file_ptr reader;
      tar.list_members(archive_path.c_str(), reader, callback, readers);
      return callback.members == all.members ? 0 : 1;
    });
  };
  auto ours_open = [&] {
    return run_forked([&] {
      abort_callback_dummy abort;
      file_ptr f;
      filesystem::g_open(f, member_path.get_ptr(), open_mode_read, abort);
      return f->get_size(abort) > 0 ? 0 : 1;
    });
  };
  const std::string scratch = archive_path + ".extract";
  auto tar_extract = [&] {
    std::filesystem::remove_all(scratch);
    std::filesystem::create_directory(scratch);
    sample s = run_command({"tar", "-xf", archive_path}, nullptr, scratch.c_str());
    std::filesystem::remove_all(scratch);
    return s;
  };

  series list_ours, list_tar, open_ours, open_tar, extract_ours, extract_tar;
  for (int round = 0; round < rounds; ++round) {
    bool ours_first = round % 2 == 0;
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == ours_first) {
        list_ours.add(ours_list(false));
        open_ours.add(ours_open());
        extract_ours.add(ours_list(true));
      } else {
        list_tar.add(run_command({"tar", "-tf", archive_path}, "/dev/null", nullptr));
        open_tar.add(run_command({"tar", "-xOf", archive_path, member}, "/dev/null", nullptr));
        extract_tar.add(tar_extract());
      }
    }
  }

  std::printf(
      "%d rounds; medians; peak memory is the child's maximum resident set "
      "(an empty child: %ld KiB)\n",
      rounds, baseline.peak_kib);
  std::printf("%-8s %12s %12s %8s %14s %14s\n", "", "ours (s)", "tar (s)", "ratio", "ours peak KiB",
              "tar peak KiB");
  auto row = [](const char* name, const series& ours, const series& theirs) {
    std::printf("%-8s %12.4f %12.4f %8.2f %14ld %14ld\n", name, ours.median(), theirs.median(),
                ours.median() / theirs.median(), ours.peak_kib, theirs.peak_kib);
  };
  row("list", list_ours, list_tar);
  row("open", open_ours, open_tar);
  row("extract", extract_ours, extract_tar);
  std::printf("extract peak above the empty child: %.1f MiB (largest member %.1f MiB)\n",
              (extract_ours.peak_kib - baseline.peak_kib) / 1024.0, all.largest / 1048576.0);
  return 0;
}
