#include "archive/data_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

// A reader over a string that counts the reads it is asked for and can be
// told to fail them.
class string_reader : public File_Reader {
 public:
  explicit string_reader(std::string data) : data_(std::move(data)) {
    set_size(data_.size());
    set_remain(data_.size());
  }
  int reads = 0;
  int seeks = 0;
  error_text fail_with = nullptr;
  std::string last_read;

 protected:
  error_text do_read(void* buffer, int32_t n) override {
    ++reads;
    if (fail_with != nullptr) return fail_with;
    last_read = data_.substr(tell(), n);
    std::memcpy(buffer, last_read.data(), last_read.size());
    return nullptr;
  }
  error_text do_seek(uint64_t) override {
    ++seeks;
    return fail_with;
  }

 private:
  std::string data_;
};

// An in-memory file whose host calls can be made to misbehave.
class scripted_file : public file_buffer {
 public:
  scripted_file() : file_buffer(0, 0) {}
  std::function<void()> on_read;  // may throw
  std::function<void()> on_seek;  // may throw
  uint32_t max_chunk = UINT32_MAX;
  uint32_t claim_extra = 0;
  std::optional<uint64_t> reported_size;    // what get_size says, when set
  std::optional<uint64_t> forced_position;  // what get_position says, when set
  int reads = 0;

  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override {
    ++reads;
    if (on_read) on_read();
    uint32_t got = file_buffer::read(buffer, count < max_chunk ? count : max_chunk, abort);
    return got == 0 ? 0 : got + claim_extra;
  }
  void seek(uint64_t position, abort_callback& abort) override {
    if (on_seek) on_seek();
    file_buffer::seek(position, abort);
  }
  uint64_t get_size(abort_callback& abort) override {
    return reported_size ? *reported_size : file_buffer::get_size(abort);
  }
  uint64_t get_position(abort_callback& abort) override {
    return forced_position ? *forced_position : file_buffer::get_position(abort);
  }
};

struct scripted {
  service_ptr_t<file> ref;
  scripted_file* host;
};

scripted make_scripted(const std::string& content, uint64_t position = 0) {
  auto* f = new service_impl_t<scripted_file>();
  scripted s{f, f};
  f->write(content.data(), static_cast<uint32_t>(content.size()), no_abort);
  f->seek(position, no_abort);
  return s;
}

}  // namespace

TEST(DataReaderRead, CountsOutsideTheRemainderDoNotReachTheSource) {
  struct reading_case {
    const char* what;
    int32_t n;
    error_text result;
  };
  const reading_case cases[] = {
      {"zero", 0, nullptr},
      {"negative", -5, nullptr},
      {"one more than remains", 11, err_truncated_file},
      {"most negative", INT32_MIN, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    string_reader r("0123456789");
    char buffer[16];
    EXPECT_EQ(r.read(buffer, c.n), c.result);
    EXPECT_EQ(r.reads, 0);
    EXPECT_EQ(r.remain(), 10u);
  }
}

TEST(DataReaderRead, SuccessAdvancesAndFailureDoesNot) {
  string_reader r("0123456789");
  char buffer[16];
  EXPECT_EQ(r.read(buffer, 4), nullptr);
  EXPECT_EQ(r.last_read, "0123");
  EXPECT_EQ(r.remain(), 6u);
  r.fail_with = err_couldnt_open_file;
  EXPECT_EQ(r.read(buffer, 4), err_couldnt_open_file);
  EXPECT_EQ(r.remain(), 6u);
}

TEST(DataReaderReadAvail, DeliversWhatRemains) {
  struct avail_case {
    const char* what;
    size_t size;
    int32_t asked;
    error_text result;
    int32_t delivered;
    int reads;
  };
  const avail_case cases[] = {
      {"more asked than remains", 100, 4096, nullptr, 100, 1},
      {"less asked than remains", 100, 30, nullptr, 30, 1},
      {"nothing remains", 0, 4096, nullptr, 0, 0},
      {"nothing asked", 100, 0, nullptr, 0, 0},
      {"negative count", 100, -1, err_internal_usage_bug, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    string_reader r(std::string(c.size, 'x'));
    std::string buffer(4096, '\0');
    int32_t n = c.asked;
    EXPECT_EQ(r.read_avail(buffer.data(), n), c.result);
    EXPECT_EQ(n, c.delivered);
    EXPECT_EQ(r.reads, c.reads);
    EXPECT_EQ(r.remain(), c.size - c.delivered);
  }
}

TEST(DataReaderReadAvail, FailureReportsNothingDelivered) {
  string_reader r("0123456789");
  r.fail_with = err_corrupt_file;
  char buffer[16];
  int32_t n = 16;
  EXPECT_EQ(r.read_avail(buffer, n), err_corrupt_file);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(r.remain(), 10u);
}

TEST(FileReaderSeek, MovesOnlyWhenNeededAndWithinTheFile) {
  string_reader r("0123456789");
  EXPECT_EQ(r.seek(0), nullptr);
  EXPECT_EQ(r.seeks, 0);
  EXPECT_EQ(r.seek(11), err_truncated_file);
  EXPECT_EQ(r.seeks, 0);
  EXPECT_EQ(r.seek(10), nullptr);
  EXPECT_EQ(r.remain(), 0u);
  EXPECT_EQ(r.tell(), 10u);
  r.fail_with = err_read_write_error;
  EXPECT_EQ(r.seek(3), err_read_write_error);
  EXPECT_EQ(r.tell(), 10u);
}

TEST(SonovaleFileReader, StandsWhereTheFileStands) {
  scripted s = make_scripted(std::string(1000, 'a'), 200);
  sonovale_File_Reader r(s.ref, no_abort);
  EXPECT_EQ(r.size(), 1000u);
  EXPECT_EQ(r.remain(), 800u);
  EXPECT_EQ(r.tell(), 200u);
}

TEST(SonovaleFileReader, FilePastItsEndHasNothingLeft) {
  scripted s = make_scripted(std::string(1000, 'a'));
  s.host->forced_position = 1500;
  sonovale_File_Reader r(s.ref, no_abort);
  EXPECT_EQ(r.remain(), 0u);
  EXPECT_EQ(r.tell(), 1000u);
}

TEST(SonovaleFileReader, UnknownSizeIsRefused) {
  scripted s = make_scripted("abc");
  s.host->reported_size = unknown_size;
  EXPECT_THROW_EXACT(sonovale_File_Reader(s.ref, no_abort), exception_io_no_length,
                     "Length of object is unknown");
}

TEST(SonovaleFileReader, ReadsAcrossShortAndOverclaimedHostReads) {
  struct host_case {
    const char* what;
    uint32_t max_chunk;
    uint32_t claim_extra;
  };
  const host_case cases[] = {
      {"whole reads", UINT32_MAX, 0},
      {"three bytes per read", 3, 0},
      {"claims more than it delivers", UINT32_MAX, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scripted s = make_scripted("0123456789abcdef");
    s.host->max_chunk = c.max_chunk;
    s.host->claim_extra = c.claim_extra;
    sonovale_File_Reader r(s.ref, no_abort);
    char buffer[11] = {};
    ASSERT_EQ(r.read(buffer, 10), nullptr);
    EXPECT_STREQ(buffer, "0123456789");
    EXPECT_EQ(r.remain(), 6u);
    int32_t n = 100;
    ASSERT_EQ(r.read_avail(buffer, n), nullptr);
    EXPECT_EQ(n, 6);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
  }
}

TEST(SonovaleFileReader, HostFailuresBecomeTexts) {
  struct failure_case {
    const char* what;
    std::function<void()> raise;
  };
  const failure_case cases[] = {
      {"truncation", [] { throw exception_io_data_truncation(); }},
      {"corrupt data", [] { throw exception_io_data(" something"); }},
      {"not found", [] { throw exception_io_not_found(); }},
      {"foreign exception", [] { throw std::runtime_error("disk on fire"); }},
      {"non-standard throw", [] { throw 42; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scripted s = make_scripted(std::string(100, 'x'));
    sonovale_File_Reader r(s.ref, no_abort);
    s.host->on_read = c.raise;
    s.host->on_seek = c.raise;
    char buffer[10];
    EXPECT_EQ(r.read(buffer, 10), err_couldnt_open_file);
    EXPECT_EQ(r.remain(), 100u);
    EXPECT_EQ(r.seek(50), err_read_write_error);
    EXPECT_EQ(r.tell(), 0u);
  }
}

TEST(SonovaleFileReader, ShortFileGivesCouldntOpen) {
  // The host says 100 bytes but has only 10.
  scripted s = make_scripted(std::string(10, 'x'));
  s.host->reported_size = 100;
  sonovale_File_Reader r(s.ref, no_abort);
  char buffer[20];
  EXPECT_EQ(r.read(buffer, 20), err_couldnt_open_file);
}

TEST(SonovaleFileReader, AbortAndAllocationFailurePassThrough) {
  scripted s = make_scripted(std::string(100, 'x'));
  sonovale_File_Reader r(s.ref, no_abort);
  char buffer[10];

  s.host->on_read = [] { throw exception_aborted(); };
  EXPECT_THROW_EXACT(r.read(buffer, 10), exception_aborted, "User abort");
  s.host->on_read = [] { throw plix::bad_alloc(); };
  EXPECT_THROW_EXACT(r.read(buffer, 10), plix::bad_alloc, "bad allocation");
  s.host->on_read = [] { throw std::bad_alloc(); };
  EXPECT_THROW(r.read(buffer, 10), std::bad_alloc);
  EXPECT_EQ(r.remain(), 100u);

  s.host->on_seek = [] { throw exception_aborted(); };
  EXPECT_THROW_EXACT(r.seek(40), exception_aborted, "User abort");
  EXPECT_EQ(r.tell(), 0u);
}

namespace {

// Reaches the adapter's skip, which only subclasses may call.
class skipping_reader : public sonovale_File_Reader {
 public:
  using sonovale_File_Reader::sonovale_File_Reader;
  error_text skip(int32_t n) { return do_skip(n); }
};

}  // namespace

TEST(SonovaleFileReader, SkipMovesTheHostFile) {
  scripted s = make_scripted(std::string(100, 'x'), 10);
  skipping_reader r(s.ref, no_abort);
  EXPECT_EQ(r.skip(25), nullptr);
  EXPECT_EQ(s.ref->get_position(no_abort), 35u);
  s.host->on_seek = [] { throw exception_io_denied(); };
  EXPECT_EQ(r.skip(5), err_read_write_error);
  s.host->on_seek = [] { throw exception_aborted(); };
  EXPECT_THROW_EXACT(r.skip(5), exception_aborted, "User abort");
}
