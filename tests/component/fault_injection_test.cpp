// Failures of the host's files and the user's abort at every step of every
// operation, for a small archive of each format.
//
// For each operation (listing with and without readers, listing an archive
// the caller opened, statistics, opening through the host's path dispatch,
// unpacking) the N-th read, seek, size or time-stamp call on the archive
// file throws, for N = 1, 2, ... until the operation succeeds. Every run
// must end in the exception that the format documents for that failure,
// with every file that the host opened released; the run that succeeds
// must give the same result as a run without faults. A third sweep sets
// the abort callback from its N-th poll on. Leaks of anything else are
// LeakSanitizer's to find in the sanitizer build.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <typeinfo>
#include <vector>

#include "abi/unpacker.h"
#include "archive/member_path.h"
#include "formats/bzip2/bz2_archive.h"
#include "formats/gzip/gzip_archive.h"
#include "formats/tar/tar_archive.h"
#include "formats/xz/xz_archive.h"
#include "formats/zstd/zstd_archive.h"
#include "tests/support/archive_services.h"
#include "tests/support/test_host.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;

namespace {

enum class fault { io_error, file_abort, callback_abort };

// An abort callback that reports the abort from its `trip_at`-th poll on
// (never when 0), and a member callback that records what it is given.
class tripping_callback : public member_callback {
 public:
  uint64_t trip_at = 0;
  mutable uint64_t polls = 0;
  std::string members;

  bool is_aborting() const override { return ++polls >= trip_at && trip_at != 0; }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(archive*, const char* path, const file_stats& stats,
                 service_ptr_t<file>& reader) override {
    members += std::string(path) + " " + std::to_string(stats.size) + "\n";
    if (reader.is_valid()) members += read_all(*reader) + "\n";
    return true;
  }
};

std::string ending(const std::type_info& type, const char* message) {
  return std::string(type.name()) + ": " + message;
}

std::string load(const std::string& file) {
  std::ifstream in(std::string(TESTDATA_DIR) + "/" + file, std::ios::binary);
  EXPECT_TRUE(in.good()) << file;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct format_under_test {
  const char* file;    // in tests/data
  const char* member;  // a member to measure and open
  archive_impl* archive;
  unpacker* unpack_service;  // null for TAR
  // The host file's read and seek failures reach the caller as this format
  // reports them: passed through, or as the gzip reader's error texts.
  bool reader_texts;
};

struct operation {
  const char* name;
  std::function<std::string(tripping_callback&)> run;
};

class FaultInjection : public ::testing::Test, public module_services {
 protected:
  std::vector<operation> operations(const format_under_test& f, const std::string& path) {
    std::vector<operation> ops;
    for (bool readers : {false, true}) {
      ops.push_back(
          {readers ? "list with readers" : "list", [&, path, readers](tripping_callback& c) {
             file_ptr none;
             f.archive->list_members(path.c_str(), none, c, readers);
             return c.members;
           }});
    }
    ops.push_back({"list an opened archive", [&, path](tripping_callback& c) {
                     file_ptr opened;
                     filesystem::g_open(opened, path.c_str(), open_mode_read, c);
                     f.archive->list_members(path.c_str(), opened, c, true);
                     return c.members;
                   }});
    ops.push_back({"statistics", [&, path](tripping_callback& c) {
                     file_stats stats = f.archive->get_member_stats(path.c_str(), f.member, c);
                     return std::to_string(stats.size) + " " + std::to_string(stats.timestamp);
                   }});
    ops.push_back({"open", [&, path](tripping_callback& c) {
                     plix::string8 member_path;
                     make_member_path(member_path, *f.archive, path.c_str(), f.member);
                     file_ptr out;
                     filesystem::g_open(out, member_path.get_ptr(), open_mode_read, c);
                     return read_all(*out);
                   }});
    if (f.unpack_service != nullptr) {
      ops.push_back({"unpack", [&, path](tripping_callback& c) {
                       file_ptr source, out;
                       filesystem::g_open(source, path.c_str(), open_mode_read, c);
                       f.unpack_service->unpack_file(out, source, c);
                       return read_all(*out);
                     }});
    }
    return ops;
  }

  // The ending a run must have when the fault struck.
  static std::string expected(const format_under_test& f, fault kind, unsigned failed_op) {
    if (kind != fault::io_error) return ending(typeid(exception_aborted), "User abort");
    if (f.reader_texts && failed_op == fault_read)
      return ending(typeid(exception_io_data), " couldn't open file");
    if (f.reader_texts && failed_op == fault_seek)
      return ending(typeid(exception_io_data), " read/write error");
    return ending(typeid(exception_io_denied), "Access denied");
  }

  // Runs `op` with the fault at N = 1, 2, ... until it succeeds; returns
  // the number of runs.
  uint64_t sweep(const format_under_test& f, const operation& op, fault kind,
                 const std::string& baseline) {
    memory_filesystem& mem = host.mem();
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE(n);
      if (n > 100000) {
        ADD_FAILURE() << "never succeeded";
        return n;
      }
      bool file_fault = kind != fault::callback_abort;
      // Files are always wrapped, so that the live count covers every run.
      mem.faults = fault_plan{fault_all, file_fault ? n : UINT64_MAX,
                              kind == fault::file_abort ? fault_kind::abort : fault_kind::io_error};
      mem.fault_calls = 0;
      mem.fault_record = fault_log{};
      tripping_callback callback;
      callback.trip_at = file_fault ? 0 : n;
      std::string result;
      std::string end = ending_of([&] { result = op.run(callback); });
      EXPECT_EQ(mem.fault_record.live_files, 0) << "a host file was not released";
      if (end == "success") {
        EXPECT_LT(file_fault ? mem.fault_calls : callback.polls, n) << "the fault was swallowed";
        EXPECT_EQ(result, baseline);
        ++outcomes["success"];
        return n;
      }
      EXPECT_EQ(end, expected(f, kind, mem.fault_record.failed_op));
      ++outcomes[end];
    }
  }

  void run_all(const format_under_test& f) {
    std::string path = host.put(f.file, load(f.file));
    uint64_t runs = 0;
    outcomes.clear();
    for (const operation& op : operations(f, path)) {
      SCOPED_TRACE(op.name);
      host.mem().faults = fault_plan{};
      tripping_callback clean;
      std::string baseline = op.run(clean);
      for (fault kind : {fault::io_error, fault::file_abort, fault::callback_abort}) {
        SCOPED_TRACE(static_cast<int>(kind));
        uint64_t n = sweep(f, op, kind, baseline);
        // The archive file is asked for something before any result exists.
        if (kind != fault::callback_abort) {
          EXPECT_GT(n, 1u);
        }
        runs += n;
      }
    }
    host.mem().faults = fault_plan{};
    RecordProperty("runs", static_cast<int>(runs));
    // The tally, on request, for reports.
    if (std::getenv("BRENMOOR_FAULT_SUMMARY") != nullptr) {
      std::printf("%s: %llu runs\n", f.file, static_cast<unsigned long long>(runs));
      for (const auto& [end, count] : outcomes)
        std::printf("  %6llu  %s\n", static_cast<unsigned long long>(count), end.c_str());
    }
  }

  std::map<std::string, uint64_t> outcomes;
};

TEST_F(FaultInjection, Tar) {
  run_all({"tar-good.tar", "dir/alphabet.txt", &tar, nullptr, false});
}

TEST_F(FaultInjection, Gzip) {
  run_all({"gz-two-members.gz", "gz-two-members", &gz, &gz_unpacker, true});
  run_all({"gz-several-reads.gz", "gz-several-reads", &gz, &gz_unpacker, true});
}

TEST_F(FaultInjection, Bzip2) {
  run_all({"bz2-written-two-blocks.bz2", "bz2-written-two-blocks", &bz2, &bz2_unpacker, false});
  run_all({"bz2-several-reads.bz2", "bz2-several-reads", &bz2, &bz2_unpacker, false});
}

TEST_F(FaultInjection, Xz) {
  for (uint32_t threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    xz_set_decoder_threads(threads);
    run_all({"xz-several-reads.xz", "xz-several-reads", &xz, &xz_unpacker, false});
    run_all({"xz-two-streams.xz", "xz-two-streams", &xz, &xz_unpacker, false});
  }
  xz_set_decoder_threads(0);
}

TEST_F(FaultInjection, Zstd) {
  run_all({"zst-several-reads.zst", "zst-several-reads", &zst, &zst_unpacker, false});
  run_all({"zst-two-frames.zst", "zst-two-frames", &zst, &zst_unpacker, false});
}

}  // namespace
