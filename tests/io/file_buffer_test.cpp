#include "io/file_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/expect_throw.h"
#include "tests/support/test_host.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

file_ptr make_with(const std::string& content) {
  file_ptr f = make_file_buffer(0, 7);
  f->write(content.data(), static_cast<uint32_t>(content.size()), no_abort);
  f->reopen(no_abort);
  return f;
}

// Counts reads so that tests can tell a seeking skip from a reading one.
class counting_file : public file_buffer {
 public:
  using file_buffer::file_buffer;
  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override {
    ++reads;
    return file_buffer::read(buffer, count, abort);
  }
  void seek(uint64_t position, abort_callback& abort) override {
    ++seeks;
    file_buffer::seek(position, abort);
  }
  int reads = 0;
  int seeks = 0;
};

}  // namespace

TEST(FileBuffer, NewEmptyFileAnswers) {
  file_ptr f = make_file_buffer(0, 42);
  char byte;
  EXPECT_EQ(f->get_size(no_abort), 0u);
  EXPECT_EQ(f->read(&byte, 1, no_abort), 0u);
  EXPECT_TRUE(f->can_seek());
  EXPECT_FALSE(f->is_remote());
  EXPECT_TRUE(f->is_in_memory());
  EXPECT_FALSE(f->get_extra_info(nullptr));
  EXPECT_EQ(f->get_timestamp(no_abort), 42u);
}

TEST(FileBuffer, CreatedAndGrownBytesAreZero) {
  file_ptr f = make_file_buffer(1000, 0);
  EXPECT_EQ(read_all(*f), std::string(1000, '\0'));
  f->seek(0, no_abort);
  f->write("abc", 3, no_abort);
  f->resize(2, no_abort);
  f->resize(50, no_abort);
  f->seek(0, no_abort);
  EXPECT_EQ(read_all(*f), std::string("ab") + std::string(48, '\0'));
}

TEST(FileBuffer, SeekPastEndStopsAtEnd) {
  file_ptr f = make_with("0123456789");
  f->seek(110, no_abort);
  EXPECT_EQ(f->get_position(no_abort), 10u);
  char byte;
  EXPECT_EQ(f->read(&byte, 1, no_abort), 0u);
}

TEST(FileBuffer, WriteExtendsExactly) {
  file_ptr f = make_with("0123456789");
  f->seek(8, no_abort);
  f->write("abcde", 5, no_abort);
  EXPECT_EQ(f->get_size(no_abort), 13u);
  EXPECT_EQ(f->get_position(no_abort), 13u);
  f->reopen(no_abort);
  EXPECT_EQ(read_all(*f), "01234567abcde");
}

TEST(FileBuffer, ResizeClampsPosition) {
  file_ptr f = make_with("0123456789");
  f->seek(7, no_abort);
  f->resize(4, no_abort);
  EXPECT_EQ(f->get_size(no_abort), 4u);
  EXPECT_EQ(f->get_position(no_abort), 4u);
  f->resize(20, no_abort);
  EXPECT_EQ(f->get_size(no_abort), 20u);
  EXPECT_EQ(f->get_position(no_abort), 4u);
}

TEST(FileBuffer, SeekRelative) {
  file_ptr f = make_with("0123456789");
  f->seek_relative(-3, seek_from_eof, no_abort);
  EXPECT_EQ(f->get_position(no_abort), 7u);
  f->seek_relative(-2, seek_from_current, no_abort);
  EXPECT_EQ(f->get_position(no_abort), 5u);
  f->seek_relative(1, seek_from_beginning, no_abort);
  EXPECT_EQ(f->get_position(no_abort), 1u);
  EXPECT_THROW_EXACT(f->seek_relative(0, static_cast<seek_origin>(3), no_abort), exception_io_data,
                     "Unsupported format or corrupted file");
  EXPECT_EQ(f->get_position(no_abort), 1u);
  // A target before 0 never wraps into a position the file trusts.
  f->seek_relative(-5, seek_from_current, no_abort);
  EXPECT_EQ(f->get_position(no_abort), 10u);
}

TEST(FileBuffer, SeekFromEndOfUnknownLengthThrows) {
  class unknown_length : public file_buffer {
   public:
    using file_buffer::file_buffer;
    uint64_t get_size(abort_callback&) override { return unknown_size; }
  };
  file_ptr f(new service_impl_t<unknown_length>(10, 0));
  EXPECT_THROW_EXACT(f->seek_relative(0, seek_from_eof, no_abort), exception_io_no_length,
                     "Length of object is unknown");
  EXPECT_EQ(f->get_position(no_abort), 0u);
}

TEST(FileBuffer, SkipReadsShortAndSeeksLong) {
  struct row {
    uint64_t skip;
    uint64_t passed;
    int reads;
    int seeks;
  };
  const row rows[] = {{1024, 1024, 4, 0}, {1025, 1025, 0, 1}, {5000, 4000, 0, 1}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.skip);
    service_ptr_t<counting_file> f(new service_impl_t<counting_file>(4000, 0));
    EXPECT_EQ(f->skip(r.skip, no_abort), r.passed);
    EXPECT_EQ(f->reads, r.reads);
    EXPECT_EQ(f->seeks, r.seeks);
    EXPECT_EQ(f->get_position(no_abort), r.passed);
  }
}

TEST(FileBuffer, SkipFromPastTheEndPassesNothing) {
  class past_end : public file_buffer {
   public:
    using file_buffer::file_buffer;
    uint64_t get_position(abort_callback&) override { return 5000; }
  };
  file_ptr f(new service_impl_t<past_end>(4000, 0));
  EXPECT_EQ(f->skip(2000, no_abort), 0u);
}

TEST(FileBuffer, ReadObjectShortConsumesThenThrows) {
  file_ptr f = make_with("0123456789");
  f->seek(4, no_abort);
  char buffer[10];
  EXPECT_THROW_EXACT(f->read_object(buffer, 10, no_abort), exception_io_data_truncation,
                     "Unsupported format or corrupted file");
  EXPECT_EQ(f->get_position(no_abort), 10u);
  EXPECT_EQ(std::memcmp(buffer, "456789", 6), 0);
  EXPECT_THROW_EXACT(f->skip_object(1, no_abort), exception_io_data_truncation,
                     "Unsupported format or corrupted file");
}

TEST(FileBuffer, SizesPast32BitsFailBeforeAnythingChanges) {
  file_ptr f = make_with("abc");
  EXPECT_THROW_EXACT(make_file_buffer(uint64_t{1} << 32, 0), plix::bad_alloc, "bad allocation");
  EXPECT_THROW_EXACT(f->resize(uint64_t{1} << 32, no_abort), plix::bad_alloc, "bad allocation");
  EXPECT_EQ(f->get_size(no_abort), 3u);
}

TEST(FileBuffer, AnswersOnlyTheFileIdentifier) {
  file_ptr f = make_file_buffer(0, 0);
  service_ptr_t<service_base> out;
  const GUID other = {0x2FBCE1E5, 0x902E, 0x49E0, {0xB9, 0xCF, 0xCE, 0x0F, 0xBA, 0x76, 0x53, 0x48}};
  EXPECT_FALSE(f->query_class(out, other));
  EXPECT_TRUE(out.is_empty());
  EXPECT_TRUE(f->query_class(out, file::class_guid));
  EXPECT_EQ(out.get_ptr(), static_cast<service_base*>(f.get_ptr()));
}

TEST(FileBuffer, ReferencesFromManyThreadsFreeExactlyOnce) {
  // Each thread takes and drops references in a tight loop; a count that is
  // not atomic frees the object early (ASan reports it) or never.
  static int destroyed;
  destroyed = 0;
  class tracked : public file_buffer {
   public:
    using file_buffer::file_buffer;
    ~tracked() { ++destroyed; }
  };
  {
    file_ptr f(new service_impl_t<tracked>(16, 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&f] {
        for (int i = 0; i < 100000; ++i) {
          file_ptr copy = f;
          copy.release();
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(f->add_reference(), 2);
    EXPECT_EQ(f->release_reference(), 1);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}
