#include "host/native_filesystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/host_abort.h"
#include "io/string.h"
#include "tests/support/expect_throw.h"

using namespace sonovale_io;

namespace {

// 2001-09-09T01:46:40.5Z: 10^9 seconds and half a second after 1970.
constexpr int64_t known_seconds = 1000000000;
constexpr uint64_t known_timestamp = (1000000000ull + 11644473600ull) * 10000000ull + 5000000ull;

class NativeFilesystem : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/brenmoor-native-XXXXXX";
    folder_ = ::mkdtemp(name);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string write(const std::string& name, const std::string& content) {
    std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    struct timespec times[2] = {{known_seconds, 500000000}, {known_seconds, 500000000}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
  }

  file_ptr open(const std::string& path, open_mode mode = open_mode_read) {
    file_ptr f;
    fs_.open(f, path.c_str(), mode, abort_);
    return f;
  }

  std::string folder_;
  service_impl_single_t<native_filesystem> fs_;
  abort_callback_impl abort_;
};

std::string read_n(file& f, uint32_t count, abort_callback& abort) {
  std::string out(count, '\0');
  out.resize(f.read(out.data(), count, abort));
  return out;
}

TEST(NativePaths, ClaimsLocalPathsOnly) {
  service_impl_single_t<native_filesystem> fs;
  struct case_t {
    const char* path;
    bool ours;
  } cases[] = {
      {"/tmp/a.tar", true},
      {"rel/a.tar", true},
      {"a.tar", true},
      {"file:///tmp/a", true},
      {"C:\\data\\a.tar", true},
      {"dir/x://y", true},
      {"", false},
      {"unpack://tar|5|a.tar|x", false},
      {"tempmem://", false},
      {"http://host/a", false},
      {"a+b.c-d://x", false},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(fs.is_our_path(c.path), c.ours);
  }
}

TEST(NativePaths, TimestampsCountFrom1601) {
  EXPECT_EQ(timestamp_from_unix(0, 0), 116444736000000000ull);
  EXPECT_EQ(timestamp_from_unix(known_seconds, 500000000), known_timestamp);
  EXPECT_EQ(timestamp_from_unix(-11644473600, 0), 0u);
  EXPECT_EQ(timestamp_from_unix(-11644473601, 0), 0u);  // before 1601: clamped, not wrapped
}

TEST(NativePaths, ReferencePaths) {
  service_impl_single_t<native_filesystem> fs;
  plix::string8 out;
  EXPECT_TRUE(fs.make_reference_path("/music/a/b.mp3", "/music/list.m3u", out));
  EXPECT_STREQ(out.get_ptr(), "a/b.mp3");
  EXPECT_FALSE(fs.make_reference_path("/other/b.mp3", "/music/list.m3u", out));
  EXPECT_TRUE(fs.resolve_reference_path("a/b.mp3", "/music/list.m3u", out));
  EXPECT_STREQ(out.get_ptr(), "/music/a/b.mp3");
  EXPECT_FALSE(fs.resolve_reference_path("/abs/b.mp3", "/music/list.m3u", out));
  EXPECT_FALSE(fs.resolve_reference_path("unpack://tar|1|a|b", "/music/list.m3u", out));
}

TEST_F(NativeFilesystem, ReadsSeeksAndReportsSizeAndTime) {
  std::string path = write("a.bin", "0123456789");
  file_ptr f = open(path);
  EXPECT_EQ(f->get_size(abort_), 10u);
  EXPECT_EQ(f->get_timestamp(abort_), known_timestamp);
  EXPECT_TRUE(f->can_seek());
  EXPECT_FALSE(f->is_remote());
  EXPECT_FALSE(f->is_in_memory());

  EXPECT_EQ(read_n(*f, 4, abort_), "0123");
  f->seek(7, abort_);
  EXPECT_EQ(read_n(*f, 100, abort_), "789");  // short: the end was reached
  EXPECT_EQ(read_n(*f, 1, abort_), "");
  f->seek(1000, abort_);  // past the end stops at the end
  EXPECT_EQ(f->get_position(abort_), 10u);
  f->seek_relative(-3, seek_from_eof, abort_);
  EXPECT_EQ(read_n(*f, 2, abort_), "78");
  f->reopen(abort_);
  f->skip_object(5, abort_);
  EXPECT_EQ(read_n(*f, 1, abort_), "5");
  EXPECT_EQ(fs_.bytes_read(), 4u + 3 + 2 + 5 + 1);

  service_ptr_t<service_base> as_file;
  EXPECT_TRUE(f->query_class(as_file, file::class_guid));
  EXPECT_FALSE(f->query_class(as_file, filesystem::class_guid));
}

TEST_F(NativeFilesystem, EveryReadAndSeekChecksAbort) {
  file_ptr f = open(write("a.bin", "0123456789"));
  abort_.abort();
  char byte;
  EXPECT_THROW_EXACT(f->read(&byte, 1, abort_), exception_aborted, "User abort");
  EXPECT_THROW_EXACT(f->seek(0, abort_), exception_aborted, "User abort");
  EXPECT_THROW_EXACT(f->skip(5000, abort_), exception_aborted, "User abort");
  EXPECT_EQ(fs_.bytes_read(), 0u);

  // The host's own flag stops files even when the caller passes a callback
  // that never aborts.
  abort_.reset();
  abort_callback_impl host_abort;
  fs_.set_host_abort(&host_abort);
  file_ptr g = open(write("b.bin", "xy"));
  abort_callback_dummy never;
  EXPECT_EQ(g->read(&byte, 1, never), 1u);
  host_abort.abort();
  EXPECT_THROW_EXACT(g->read(&byte, 1, never), exception_aborted, "User abort");
  EXPECT_THROW_EXACT(g->seek(0, never), exception_aborted, "User abort");
  fs_.set_host_abort(nullptr);
}

TEST_F(NativeFilesystem, WritesNewFiles) {
  std::string path = folder_ + "/new.bin";
  file_ptr f = open(path, open_mode_write_new);
  EXPECT_EQ(f->get_size(abort_), 0u);
  f->write("hello world", 11, abort_);
  EXPECT_EQ(f->get_size(abort_), 11u);
  f->seek(6, abort_);
  f->write("there!", 6, abort_);
  EXPECT_EQ(f->get_size(abort_), 12u);
  f->resize(5, abort_);
  EXPECT_EQ(f->get_position(abort_), 5u);
  f->reopen(abort_);
  EXPECT_EQ(read_n(*f, 100, abort_), "hello");
  f.release();

  // Opening for writing again truncates.
  file_ptr g = open(path, open_mode_write_new);
  EXPECT_EQ(g->get_size(abort_), 0u);

  file_ptr r = open(write("ro.bin", "abc"));
  EXPECT_THROW_EXACT(r->write("x", 1, abort_), exception_io_denied, "Access denied");
  EXPECT_THROW_EXACT(r->resize(0, abort_), exception_io_denied, "Access denied");
}

TEST_F(NativeFilesystem, OpenAndStatFailures) {
  file_ptr f;
  std::string missing = folder_ + "/missing";
  EXPECT_THROW_EXACT(fs_.open(f, missing.c_str(), open_mode_read, abort_), exception_io_not_found,
                     "Object not found");
  EXPECT_THROW_EXACT(fs_.open(f, folder_.c_str(), open_mode_read, abort_), exception_io_os,
                     "Is a directory");
  EXPECT_THROW_EXACT(fs_.open(f, missing.c_str(), static_cast<open_mode>(7), abort_),
                     exception_io_denied, "Access denied");
  EXPECT_TRUE(f.is_empty());

  file_stats stats{};
  bool writable = false;
  EXPECT_THROW_EXACT(fs_.get_stats(missing.c_str(), stats, writable, abort_),
                     exception_io_not_found, "Object not found");
  std::string path = write("s.bin", "12345");
  fs_.get_stats(path.c_str(), stats, writable, abort_);
  EXPECT_EQ(stats.size, 5u);
  EXPECT_EQ(stats.timestamp, known_timestamp);
  EXPECT_TRUE(writable);
  fs_.get_stats(folder_.c_str(), stats, writable, abort_);
  EXPECT_EQ(stats.size, unknown_size);
}

TEST_F(NativeFilesystem, CanonicalAndDisplayPaths) {
  std::string path = write("c.bin", "");
  std::string roundabout = folder_ + "/./c.bin";
  plix::string8 out;
  ASSERT_TRUE(fs_.get_canonical_path(roundabout.c_str(), out));
  EXPECT_EQ(std::string(out.get_ptr()), std::filesystem::canonical(path).string());
  EXPECT_FALSE(fs_.get_canonical_path((folder_ + "/missing").c_str(), out));
  ASSERT_TRUE(fs_.get_display_path(roundabout.c_str(), out));
  EXPECT_EQ(std::string(out.get_ptr()), roundabout);
  std::string uri = "file://" + path;
  file_ptr f = open(uri);
  EXPECT_EQ(f->get_size(abort_), 0u);
}

TEST_F(NativeFilesystem, StreamsReadWholeCountsAndCannotSeek) {
  std::string fifo = folder_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // The writer sends in small pieces, so reads come back short from the
  // system and must be joined.
  std::thread writer([&fifo] {
    int fd = ::open(fifo.c_str(), O_WRONLY);
    for (int i = 0; i < 8; ++i) {
      ssize_t put = ::write(fd, "abcd", 4);
      (void)put;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(fd);
  });
  file_ptr f = open(fifo);
  EXPECT_FALSE(f->can_seek());
  EXPECT_EQ(f->get_size(abort_), unknown_size);
  EXPECT_EQ(read_n(*f, 20, abort_), "abcdabcdabcdabcdabcd");
  f->seek(20, abort_);  // where it is already: allowed
  EXPECT_THROW_EXACT(f->seek(0, abort_), exception_io_os, "Illegal seek");
  EXPECT_EQ(read_n(*f, 100, abort_), "abcdabcdabcd");
  writer.join();
}

TEST_F(NativeFilesystem, AnAbortWakesAStreamReadThatWaits) {
  std::string fifo = folder_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  host_abort_callback host_abort;
  fs_.set_host_abort(&host_abort, host_abort.wake_fd());
  // The writer keeps the fifo open and silent: only the abort can end the
  // read, whether it comes before the read waits or during the wait.
  int writer = -1;
  std::thread opener([&] { writer = ::open(fifo.c_str(), O_WRONLY); });
  file_ptr f = open(fifo);
  opener.join();
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host_abort.abort();
  });
  char byte;
  abort_callback_dummy never;
  EXPECT_THROW_EXACT(f->read(&byte, 1, never), exception_aborted, "User abort");
  aborter.join();
  ::close(writer);
  fs_.set_host_abort(nullptr);
}

}  // namespace
