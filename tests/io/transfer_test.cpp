#include "io/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/string_file.h"

using namespace sonovale_io;

namespace {

constexpr char truncated[] = "Unsupported format or corrupted file";

// The byte at `offset` of the endless test pattern.
uint8_t pattern_byte(uint64_t offset) {
  return static_cast<uint8_t>(offset * 7 + offset / 251);
}

// A source of `size` pattern bytes that hands out at most `per_read` bytes
// per read and records every request.
class pattern_reader : public stream_reader {
 public:
  pattern_reader(uint64_t size, uint32_t per_read) : size_(size), per_read_(per_read) {}

  uint32_t read(void* buffer, uint32_t count, abort_callback&) override {
    requests.push_back(count);
    uint64_t left = size_ - position;
    uint64_t n = count < per_read_ ? count : per_read_;
    if (n > left) n = left;
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint64_t i = 0; i < n; ++i) out[i] = pattern_byte(position + i);
    position += n;
    return static_cast<uint32_t>(n);
  }

  uint64_t position = 0;
  std::vector<uint32_t> requests;

 private:
  uint64_t size_;
  uint32_t per_read_;
};

// A source that reads from a fixed text.
class text_reader : public stream_reader {
 public:
  explicit text_reader(std::string text) : text_(std::move(text)) {}
  uint32_t read(void* buffer, uint32_t count, abort_callback&) override {
    size_t n = std::min<size_t>(count, text_.size() - position);
    text_.copy(static_cast<char*>(buffer), n, position);
    position += n;
    return static_cast<uint32_t>(n);
  }
  size_t position = 0;

 private:
  std::string text_;
};

// A writer that checks the bytes against the pattern and counts them.
class pattern_checker : public stream_writer {
 public:
  void write(const void* buffer, uint32_t count, abort_callback&) override {
    auto* in = static_cast<const uint8_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i)
      if (in[i] != pattern_byte(written + i)) ++mismatches;
    written += count;
  }
  uint64_t written = 0;
  uint64_t mismatches = 0;
};

// An abort callback that counts its polls and answers true from poll
// number `trip_at` on (never when 0).
class counting_abort : public abort_callback {
 public:
  explicit counting_abort(unsigned trip_at = 0) : trip_at_(trip_at) {}
  bool is_aborting() const override {
    ++polls;
    return trip_at_ != 0 && polls >= trip_at_;
  }
  void* get_abort_event() const override { return nullptr; }
  mutable unsigned polls = 0;

 private:
  unsigned trip_at_;
};

// An in-memory file that records its resize calls and the size at the
// first write.
class recording_file : public file_buffer {
 public:
  using file_buffer::file_buffer;
  void resize(uint64_t size, abort_callback& abort) override {
    resizes.push_back(size);
    file_buffer::resize(size, abort);
  }
  void write(const void* buffer, uint32_t count, abort_callback& abort) override {
    if (size_at_first_write == UINT64_MAX) size_at_first_write = get_size(abort);
    file_buffer::write(buffer, count, abort);
  }
  std::vector<uint64_t> resizes;
  uint64_t size_at_first_write = UINT64_MAX;
};

std::string pattern_text(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(pattern_byte(i) | 1);  // no NULs
  return text;
}

TEST(Transfer, ZeroCountReadsNothingAndDoesNotPoll) {
  pattern_reader source(100, 100);
  pattern_checker destination;
  counting_abort abort(1);  // would abort at the first poll
  EXPECT_EQ(transfer(source, destination, 0, abort), 0u);
  EXPECT_TRUE(source.requests.empty());
  EXPECT_EQ(abort.polls, 0u);
  EXPECT_NO_THROW(transfer_exact(source, destination, 0, abort));
}

TEST(Transfer, TwentyMegabytesThroughSmallReadsPollsBeforeEachPass) {
  constexpr uint64_t count = 20u << 20;
  pattern_reader source(count, 1000);
  pattern_checker destination;
  counting_abort abort;
  EXPECT_EQ(transfer(source, destination, count, abort), count);
  EXPECT_EQ(destination.written, count);
  EXPECT_EQ(destination.mismatches, 0u);
  constexpr size_t passes = (count + 999) / 1000;
  ASSERT_EQ(source.requests.size(), passes);
  EXPECT_EQ(abort.polls, passes);
  // The first request asks for a whole chunk; later ones for the rest, up
  // to a chunk.
  EXPECT_EQ(source.requests[0], 8u << 20);
  EXPECT_EQ(source.requests.back(), count - (passes - 1) * 1000);
}

TEST(Transfer, ShortSourceStopsAtItsEnd) {
  pattern_reader source(3000, 1000);
  pattern_checker destination;
  abort_callback_dummy abort;
  EXPECT_EQ(transfer(source, destination, 5000, abort), 3000u);
  EXPECT_EQ(destination.written, 3000u);

  pattern_reader again(3000, 700);
  pattern_checker kept;
  EXPECT_THROW_EXACT(transfer_exact(again, kept, 3001, abort), exception_io_data_truncation,
                     truncated);
  EXPECT_EQ(kept.written, 3000u) << "bytes copied before the shortfall stay written";
  EXPECT_EQ(kept.mismatches, 0u);
}

TEST(Transfer, AbortStopsBeforeTheNextPass) {
  pattern_reader source(10000, 1000);
  pattern_checker destination;
  counting_abort abort(4);
  EXPECT_THROW_EXACT(transfer(source, destination, 10000, abort), exception_aborted, "User abort");
  EXPECT_EQ(destination.written, 3000u);
  EXPECT_EQ(source.requests.size(), 3u);
}

TEST(ReadExactInChunks, FillsTheStoragePollingBeforeEachRead) {
  struct row {
    const char* what;
    uint64_t available, count;
    unsigned trip_at;
    const char* outcome;
    size_t reads;
  };
  const row rows[] = {
      {"exact in small reads", 10000, 10000, 0, "ok", 10},
      {"count 0 neither reads nor polls", 10, 0, 1, "ok", 0},
      {"source ends first", 2500, 3000, 0, "truncated", 4},
      {"abort before the third read", 10000, 10000, 3, "aborted", 2},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    pattern_reader source(r.available, 1000);
    counting_abort abort(r.trip_at);
    std::vector<uint8_t> storage(r.count + 1, 0xEE);
    std::string outcome = "ok";
    try {
      read_exact_in_chunks(source, storage.data(), r.count, abort);
    } catch (const exception_io_data_truncation&) {
      outcome = "truncated";
    } catch (const exception_aborted&) {
      outcome = "aborted";
    }
    EXPECT_STREQ(outcome.c_str(), r.outcome);
    EXPECT_EQ(source.requests.size(), r.reads);
    if (r.trip_at == 0) {
      EXPECT_EQ(abort.polls, r.reads);
    }
    for (uint64_t i = 0; i < source.position; ++i) ASSERT_EQ(storage[i], pattern_byte(i)) << i;
    EXPECT_EQ(storage[r.count], 0xEE) << "nothing is stored past the count";
  }
}

TEST(ReadExactIntoFile, MemoryFollowsTheDataUnlessTheSourceIsKnownToHoldIt) {
  struct row {
    const char* what;
    uint64_t available, count;
    bool source_holds_count;
    unsigned trip_at;
    const char* outcome;
    uint64_t most_capacity;  // the largest capacity the file may end with
  };
  const uint64_t claim = uint64_t{1} << 30;
  const row rows[] = {
      {"known source: sized once", 300000, 300000, true, 0, "ok", 300000},
      {"stream: grows to the count, never past it", 300000, 300000, false, 0, "ok", 300000},
      {"stream shorter than its claim", 100000, claim, false, 0, "truncated", 4 * 100000},
      {"count past the file's limit fails before reading", 10, claim * 4, false, 0, "bad_alloc", 0},
      {"abort before the third read", 300000, 300000, false, 3, "aborted", 300000},
      {"count 0", 10, 0, false, 0, "ok", 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    pattern_reader source(r.available, 40000);
    counting_abort abort(r.trip_at);
    service_ptr_t<file_buffer> f = new service_impl_t<file_buffer>(0, 0);
    std::string outcome = "ok";
    try {
      read_exact_into_file(source, *f, r.count, r.source_holds_count, abort);
    } catch (const exception_io_data_truncation& e) {
      outcome = "truncated";
      EXPECT_STREQ(e.what(), truncated);
    } catch (const exception_aborted&) {
      outcome = "aborted";
    } catch (const plix::bad_alloc&) {
      outcome = "bad_alloc";
    }
    EXPECT_STREQ(outcome.c_str(), r.outcome);
    EXPECT_LE(f->capacity(), r.most_capacity);
    // What was read is in the file, at the position, and nothing more.
    EXPECT_EQ(f->get_size(abort), source.position);
    EXPECT_EQ(f->get_position(abort), source.position);
    for (uint64_t i = 0; i < source.position; ++i) ASSERT_EQ(f->content()[i], pattern_byte(i)) << i;
    if (r.source_holds_count && r.outcome == std::string("ok")) {
      EXPECT_EQ(source.requests.front(), r.count < 8u << 20 ? r.count : 8u << 20);
    }
  }
}

TEST(TransferFileExact, SizesTheDestinationOnlyAboveOneKilobyte) {
  abort_callback_dummy abort;
  struct row {
    const char* what;
    uint64_t initial_size, position, count;
    std::vector<uint64_t> resizes;
  };
  const row rows[] = {
      {"1024 bytes never resize", 0, 0, 1024, {}},
      {"1025 bytes into an empty file", 0, 0, 1025, {1025}},
      {"end beyond the size from a middle position", 10, 5, 2000, {2005}},
      {"destination already large enough", 5000, 0, 2000, {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    service_ptr_t<recording_file> destination =
        new service_impl_t<recording_file>(r.initial_size, 0);
    destination->seek(r.position, abort);
    file_ptr source = memory_file(pattern_text(r.count));
    transfer_file_exact(source, file_ptr(destination.get_ptr()), r.count, abort);
    EXPECT_EQ(destination->resizes, r.resizes);
    if (!r.resizes.empty()) {
      EXPECT_EQ(destination->size_at_first_write, r.resizes.back());
    }
    EXPECT_EQ(destination->get_position(abort), r.position + r.count);
    destination->seek(r.position, abort);
    std::string copied(r.count, '\0');
    destination->read_object(copied.data(), static_cast<uint32_t>(r.count), abort);
    EXPECT_EQ(copied, pattern_text(r.count));
  }
}

TEST(TransferFileExact, ShortSourceIsTruncation) {
  abort_callback_dummy abort;
  file_ptr source = memory_file(std::string(2000, 'x'));
  source->seek(500, abort);  // reads from the current position
  file_ptr destination = make_file_buffer(0, 0);
  EXPECT_THROW_EXACT(transfer_file_exact(source, destination, 1501, abort),
                     exception_io_data_truncation, truncated);
}

TEST(ReadStringExact, KeepsTheTextBeforeTheFirstNulAndConsumesEverything) {
  abort_callback_dummy abort;
  std::string long_text = pattern_text(200000);
  std::string long_with_nul = long_text;
  long_with_nul[150000] = '\0';
  struct row {
    const char* what;
    std::string source;
    uint32_t count;
    std::string expected;
  };
  const row rows[] = {
      {"NUL inside", std::string("ab\0cd", 5), 5, "ab"},
      {"empty count", "abc", 0, ""},
      {"no NUL, small", "abcdef", 6, "abcdef"},
      {"64 KiB without NUL", long_text, 65536, long_text.substr(0, 65536)},
      {"one byte over 64 KiB", long_text, 65537, long_text.substr(0, 65537)},
      {"large, no NUL: ends at the count", long_text, 200000, long_text},
      {"large, NUL late", long_with_nul, 200000, long_text.substr(0, 150000)},
      {"large, count before the NUL", long_with_nul, 140000, long_text.substr(0, 140000)},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    text_reader source(r.source);
    plix::string8 destination("previous content");
    read_string_exact(destination, source, r.count, abort);
    EXPECT_EQ(std::string(destination.get_ptr(), destination.get_length()), r.expected);
    EXPECT_EQ(source.position, r.count);
  }
}

TEST(ReadStringExact, ShortLargeReadFailsAtTheSecondStepAndLeavesTheText) {
  abort_callback_dummy abort;
  pattern_reader source(100 << 10, UINT32_MAX);
  plix::string8 destination("kept");
  EXPECT_THROW_EXACT(read_string_exact(destination, source, 1 << 20, abort),
                     exception_io_data_truncation, truncated);
  EXPECT_STREQ(destination.get_ptr(), "kept");
  // 64 KiB first, then the next 64 KiB up to 128 KiB, which comes short:
  // never a request for the whole megabyte.
  ASSERT_EQ(source.requests.size(), 2u);
  EXPECT_EQ(source.requests[0], 65536u);
  EXPECT_EQ(source.requests[1], 65536u);
}

TEST(ReadStringExact, ShortSmallReadKeepsWhatWasRead) {
  abort_callback_dummy abort;
  text_reader source("abc");
  plix::string8 destination("previous");
  EXPECT_THROW_EXACT(read_string_exact(destination, source, 10, abort),
                     exception_io_data_truncation, truncated);
  EXPECT_STREQ(destination.get_ptr(), "abc");
}

TEST(LimitedReader, BudgetActsAsTheEnd) {
  // Whichever ends first, the budget of 10 bytes or the source, ends the
  // reads; what the source did not deliver stays in the budget.
  for (uint32_t source_size : {100u, 5u}) {
    SCOPED_TRACE(source_size);
    const uint32_t delivered = std::min(source_size, 10u);
    abort_callback_dummy abort;
    pattern_reader source(source_size, 100);
    limited_reader limited(source, 10);
    uint8_t buffer[50];
    EXPECT_EQ(limited.read(buffer, 50, abort), delivered);
    EXPECT_EQ(buffer[delivered - 1], pattern_byte(delivered - 1));
    EXPECT_EQ(limited.read(buffer, 50, abort), 0u);
    EXPECT_EQ(limited.remaining(), 10u - delivered);
    EXPECT_THROW_EXACT(limited.skip_object(1, abort), exception_io_data_truncation, truncated);
    EXPECT_EQ(source.position, delivered) << "nothing past the budget is taken from the source";
  }
}

TEST(LimitedReader, SkipsAndExactReadsCountAgainstTheBudget) {
  abort_callback_dummy abort;
  pattern_reader source(100, 100);
  limited_reader limited(source, 30);
  EXPECT_EQ(limited.skip(20, abort), 20u);
  EXPECT_EQ(limited.remaining(), 10u);
  uint8_t buffer[16];
  EXPECT_THROW_EXACT(limited.read_object(buffer, 16, abort), exception_io_data_truncation,
                     truncated);
  EXPECT_EQ(buffer[0], pattern_byte(20));
  EXPECT_EQ(limited.skip(5, abort), 0u);
}

}  // namespace
