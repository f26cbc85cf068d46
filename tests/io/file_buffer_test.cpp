#include "io/file_buffer.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
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

// Every case runs on both kinds of storage: heap blocks, and huge-page
// mappings (made here for any size by lowering the mapping threshold).
enum class storage_kind { heap, mapped };

void PrintTo(storage_kind kind, std::ostream* out) {
  *out << (kind == storage_kind::heap ? "heap" : "mapped");
}

class FileBuffer : public ::testing::TestWithParam<storage_kind> {
 protected:
  void SetUp() override {
    set_file_buffer_mapping_threshold(GetParam() == storage_kind::mapped ? 1 : UINT64_MAX);
  }
  void TearDown() override {
    set_file_buffer_mapping_threshold(file_buffer_storage::huge_page_size);
  }
};

INSTANTIATE_TEST_SUITE_P(Storage, FileBuffer,
                         ::testing::Values(storage_kind::heap, storage_kind::mapped),
                         [](const ::testing::TestParamInfo<storage_kind>& info) {
                           return info.param == storage_kind::heap ? "heap" : "mapped";
                         });

}  // namespace

TEST_P(FileBuffer, NewEmptyFileAnswers) {
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

TEST_P(FileBuffer, CreatedAndGrownBytesAreZero) {
  file_ptr f = make_file_buffer(1000, 0);
  EXPECT_EQ(read_all(*f), std::string(1000, '\0'));
  f->seek(0, no_abort);
  f->write("abc", 3, no_abort);
  f->resize(2, no_abort);
  f->resize(50, no_abort);
  f->seek(0, no_abort);
  EXPECT_EQ(read_all(*f), std::string("ab") + std::string(48, '\0'));
}

TEST_P(FileBuffer, SeekPastEndStopsAtEnd) {
  file_ptr f = make_with("0123456789");
  f->seek(110, no_abort);
  EXPECT_EQ(f->get_position(no_abort), 10u);
  char byte;
  EXPECT_EQ(f->read(&byte, 1, no_abort), 0u);
}

TEST_P(FileBuffer, WriteExtendsExactly) {
  file_ptr f = make_with("0123456789");
  f->seek(8, no_abort);
  f->write("abcde", 5, no_abort);
  EXPECT_EQ(f->get_size(no_abort), 13u);
  EXPECT_EQ(f->get_position(no_abort), 13u);
  f->reopen(no_abort);
  EXPECT_EQ(read_all(*f), "01234567abcde");
}

TEST_P(FileBuffer, ResizeClampsPosition) {
  file_ptr f = make_with("0123456789");
  f->seek(7, no_abort);
  f->resize(4, no_abort);
  EXPECT_EQ(f->get_size(no_abort), 4u);
  EXPECT_EQ(f->get_position(no_abort), 4u);
  f->resize(20, no_abort);
  EXPECT_EQ(f->get_size(no_abort), 20u);
  EXPECT_EQ(f->get_position(no_abort), 4u);
}

TEST_P(FileBuffer, SeekRelative) {
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

TEST_P(FileBuffer, SeekFromEndOfUnknownLengthThrows) {
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

TEST_P(FileBuffer, SkipReadsShortAndSeeksLong) {
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

TEST_P(FileBuffer, SkipFromPastTheEndPassesNothing) {
  class past_end : public file_buffer {
   public:
    using file_buffer::file_buffer;
    uint64_t get_position(abort_callback&) override { return 5000; }
  };
  file_ptr f(new service_impl_t<past_end>(4000, 0));
  EXPECT_EQ(f->skip(2000, no_abort), 0u);
}

TEST_P(FileBuffer, ReadObjectShortConsumesThenThrows) {
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

TEST_P(FileBuffer, SizesPast32BitsFailBeforeAnythingChanges) {
  file_ptr f = make_with("abc");
  EXPECT_THROW_EXACT(make_file_buffer(uint64_t{1} << 32, 0), plix::bad_alloc, "bad allocation");
  EXPECT_THROW_EXACT(f->resize(uint64_t{1} << 32, no_abort), plix::bad_alloc, "bad allocation");
  EXPECT_EQ(f->get_size(no_abort), 3u);
}

TEST_P(FileBuffer, AnswersOnlyTheFileIdentifier) {
  file_ptr f = make_file_buffer(0, 0);
  service_ptr_t<service_base> out;
  const GUID other = {0x2FBCE1E5, 0x902E, 0x49E0, {0xB9, 0xCF, 0xCE, 0x0F, 0xBA, 0x76, 0x53, 0x48}};
  EXPECT_FALSE(f->query_class(out, other));
  EXPECT_TRUE(out.is_empty());
  EXPECT_TRUE(f->query_class(out, file::class_guid));
  EXPECT_EQ(out.get_ptr(), static_cast<service_base*>(f.get_ptr()));
}

TEST_P(FileBuffer, ReferencesFromManyThreadsFreeExactlyOnce) {
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

// ---------------------------------------------------------------------------
// Capacity, writing in place, and growth.

namespace {

constexpr uint64_t huge_page = file_buffer_storage::huge_page_size;

std::string content_of(file_buffer& f) {
  return std::string(reinterpret_cast<const char*>(f.content()), f.get_size(no_abort));
}

// The "THPeligible" line of the mapping that holds `address` in
// /proc/self/smaps: whether the kernel may back it with huge pages.
std::string huge_page_eligibility(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  auto at = reinterpret_cast<uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long long begin, end;
    char dash;
    std::istringstream range(line);
    if (line.find(':') > line.find(' ') && range >> std::hex >> begin >> dash >> end) {
      inside = begin <= at && at < end;
    } else if (inside && line.rfind("THPeligible:", 0) == 0) {
      return line.substr(line.find_last_of(" \t") + 1);
    }
  }
  return "no mapping";
}

// Whether this system marks a mapping eligible for huge pages once it is
// asked to: its kernel's mode allows it, and madvise takes effect (a
// user-mode emulator accepts the advice and drops it).
bool advised_mappings_become_eligible() {
  std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes((std::istreambuf_iterator<char>(setting)), std::istreambuf_iterator<char>());
  if (modes.find("[madvise]") == std::string::npos && modes.find("[always]") == std::string::npos) {
    return false;
  }
  const size_t size = 2 * huge_page;
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  auto at = reinterpret_cast<uintptr_t>(p);
  auto* aligned = reinterpret_cast<void*>((at + huge_page - 1) / huge_page * huge_page);
  bool eligible =
      ::madvise(aligned, huge_page, MADV_HUGEPAGE) == 0 && huge_page_eligibility(aligned) == "1";
  ::munmap(p, size);
  return eligible;
}

}  // namespace

TEST_P(FileBuffer, ReservePrepareAndCommitWriteInPlace) {
  service_ptr_t<file_buffer> f = new service_impl_t<file_buffer>(0, 0);
  f->write("0123456789", 10, no_abort);
  f->reserve(5000);
  EXPECT_GE(f->capacity(), 5000u);
  EXPECT_EQ(f->get_size(no_abort), 10u);
  EXPECT_EQ(f->get_position(no_abort), 10u);
  EXPECT_EQ(content_of(*f), "0123456789");

  // Over the end of the content: only the committed bytes count.
  f->seek(8, no_abort);
  std::memcpy(f->prepare(6), "abcdef", 6);
  f->commit(4);
  EXPECT_EQ(f->get_position(no_abort), 12u);
  EXPECT_EQ(content_of(*f), "01234567abcd");

  // A commit reaching past the prepared bytes is cut to them.
  std::memcpy(f->prepare(3), "xyz", 3);
  f->commit(100);
  EXPECT_EQ(content_of(*f), "01234567abcdxyz");

  // Inside the content, the size stays.
  f->seek(1, no_abort);
  std::memcpy(f->prepare(2), "AB", 2);
  f->commit(2);
  EXPECT_EQ(f->get_position(no_abort), 3u);
  f->reopen(no_abort);
  EXPECT_EQ(read_all(*f), "0AB34567abcdxyz");

  // Past the capacity, prepare grows the storage and keeps the content.
  f->seek(15, no_abort);
  uint64_t capacity = f->capacity();
  std::string tail(capacity, 't');
  std::memcpy(f->prepare(static_cast<uint32_t>(tail.size())), tail.data(), tail.size());
  f->commit(static_cast<uint32_t>(tail.size()));
  EXPECT_EQ(content_of(*f), "0AB34567abcdxyz" + tail);
}

TEST_P(FileBuffer, GrowthOverStorageUsedBeforeReadsAsZero) {
  // Two sizes: within one heap block or huge page, and across several.
  for (uint64_t size : {uint64_t{3000}, 3 * huge_page}) {
    SCOPED_TRACE(size);
    const std::string dirty(size, 'x');
    struct scenario {
      const char* what;
      void (*use)(file_buffer&, const std::string&);
    };
    const scenario scenarios[] = {
        {"content shrunk away",
         [](file_buffer& f, const std::string& d) {
           f.write(d.data(), static_cast<uint32_t>(d.size()), no_abort);
           f.resize(d.size() / 2, no_abort);
         }},
        {"prepared and never committed",
         [](file_buffer& f, const std::string& d) {
           std::memcpy(f.prepare(static_cast<uint32_t>(d.size())), d.data(), d.size());
           f.commit(0);
         }},
        {"reserved, written, then cut by resize",
         [](file_buffer& f, const std::string& d) {
           f.reserve(d.size());
           f.write(d.data(), static_cast<uint32_t>(d.size()), no_abort);
           f.resize(1, no_abort);
         }},
    };
    for (const scenario& s : scenarios) {
      SCOPED_TRACE(s.what);
      service_ptr_t<file_buffer> f = new service_impl_t<file_buffer>(0, 0);
      s.use(*f, dirty);
      uint64_t kept = f->get_size(no_abort);
      f->resize(size, no_abort);
      std::string expected = dirty.substr(0, kept) + std::string(size - kept, '\0');
      EXPECT_TRUE(content_of(*f) == expected);
    }
  }
}

TEST_P(FileBuffer, BeyondTheLimitNothingChanges) {
  service_ptr_t<file_buffer> f = new service_impl_t<file_buffer>(0, 0);
  f->write("abc", 3, no_abort);
  uint64_t capacity = f->capacity();
  EXPECT_THROW_EXACT(f->reserve(file_buffer::max_size + 1), plix::bad_alloc, "bad allocation");
  // A 32-bit address space cannot hold max_size bytes, so asking is refused
  // as memory that cannot be had; a 64-bit one may grant them.
  if constexpr (SIZE_MAX <= UINT32_MAX) {
    EXPECT_THROW_EXACT(f->reserve(file_buffer::max_size), plix::bad_alloc, "bad allocation");
  }
  f->reserve(0);
  EXPECT_EQ(f->capacity(), capacity);
  EXPECT_EQ(content_of(*f), "abc");
  EXPECT_EQ(f->get_position(no_abort), 3u);
}

TEST(FileBufferGrowth, SmallWritesGrowGeometricallyOntoAlignedHugePagesAndBack) {
  service_ptr_t<file_buffer> f = new service_impl_t<file_buffer>(0, 0);
  const uint64_t total = 3 * huge_page + 12345;
  std::string expected;
  int capacities = 0;
  uint64_t capacity = 0;
  for (uint32_t i = 0; expected.size() < total; ++i) {
    std::string chunk(4096, static_cast<char>('a' + i % 26));
    f->write(chunk.data(), 4096, no_abort);
    expected += chunk;
    if (f->capacity() != capacity) ++capacities;
    capacity = f->capacity();
  }
  // Doubling from 4 KiB past 6 MiB takes 11 steps; exact growth would take
  // one per write.
  EXPECT_LE(capacities, 12);
  EXPECT_TRUE(content_of(*f) == expected);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(f->content()) % huge_page, 0u);
  EXPECT_EQ(f->capacity() % huge_page, 0u);
  if (advised_mappings_become_eligible()) {
    EXPECT_EQ(huge_page_eligibility(f->content()), "1");
  }

  // Trimmed: a mapping keeps whole huge pages.
  f->resize(huge_page + 1, no_abort);
  EXPECT_EQ(f->capacity(), 2 * huge_page);
  // Below the threshold the content moves back to a heap block of its size.
  f->resize(1000, no_abort);
  EXPECT_EQ(f->capacity(), 1000u);
  EXPECT_TRUE(content_of(*f) == expected.substr(0, 1000));
  // And out again, growth reading as zero.
  f->resize(2 * huge_page, no_abort);
  EXPECT_TRUE(content_of(*f) == expected.substr(0, 1000) + std::string(2 * huge_page - 1000, '\0'));
}

TEST(FileBufferGrowth, MemoryThatCannotBeHadChangesNothing) {
  // In a child whose address space can grow by only 64 MiB. Mappings only:
  // a refused heap allocation ends a sanitized program instead of failing.
  constexpr int limit_not_applied = 77;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    service_ptr_t<file_buffer> f = new service_impl_t<file_buffer>(0, 0);
    std::string data(3 * huge_page, 'd');
    f->write(data.data(), static_cast<uint32_t>(data.size()), no_abort);
    f->seek(5, no_abort);
    uint64_t capacity = f->capacity();
    std::ifstream status("/proc/self/status");
    uint64_t vm_kib = 0;
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmSize:", 0) == 0) vm_kib = std::stoull(line.substr(7));
    struct rlimit limit = {(vm_kib << 10) + (64u << 20), RLIM_INFINITY};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(2);
    // A user-mode emulator accepts the limit and does not apply it.
    void* beyond =
        ::mmap(nullptr, 128u << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (beyond != MAP_FAILED) ::_exit(limit_not_applied);
    int failures = 0;
    auto refused = [&](auto&& grow) {
      uint64_t position = f->get_position(no_abort);
      try {
        grow();
      } catch (const plix::bad_alloc&) {
        return f->capacity() == capacity && f->get_position(no_abort) == position &&
               f->get_size(no_abort) == data.size() &&
               std::memcmp(f->content(), data.data(), data.size()) == 0;
      }
      return false;
    };
    failures += !refused([&] { f->reserve(uint64_t{1} << 30); });
    failures += !refused([&] { f->resize(uint64_t{1} << 30, no_abort); });
    f->seek(data.size(), no_abort);
    failures += !refused([&] { f->prepare(1u << 30); });
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == limit_not_applied) {
    GTEST_SKIP() << "this system does not apply an address-space limit (RLIMIT_AS)";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0) << "refusals that changed the file";
}
