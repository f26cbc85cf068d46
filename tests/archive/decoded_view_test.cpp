#include "archive/decoded_view.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "archive/checkpoint_check.h"
#include "archive/content_index.h"
#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/plus_one_format.h"
#include "tests/support/test_host.h"

using namespace sonovale_io;

namespace {

struct DecodedView : testing::Test {
  plus_one_format format;
  abort_callback_dummy abort;

  void SetUp() override { content_index_clear(); }
  void TearDown() override {
    content_index_set_budget(64u << 20);
    content_index_clear();
  }

  file_ptr view_of(const std::string& compressed, std::shared_ptr<content_entry> entry) {
    file_ptr source = make_file_buffer(0, 7);
    source->write(compressed.data(), static_cast<uint32_t>(compressed.size()), abort);
    return file_ptr(new service_impl_t<decoded_view>(format, source, std::move(entry), 42));
  }

  std::string read_at(file& view, uint64_t position, uint32_t count) {
    std::string out(count, '\0');
    view.seek(position, abort);
    out.resize(view.read(out.data(), count, abort));
    return out;
  }
};

}  // namespace

TEST_F(DecodedView, ReadsInAnyChunkSizeAndLearnsSizeAtTheEnd) {
  const std::string data = clean_data(700 * 1024 + 3);
  const std::string expected = plus_one(data);
  for (uint32_t chunk : {1u, 511u, 4096u, 1u << 20, 3u << 20}) {
    SCOPED_TRACE(chunk);
    auto entry = std::make_shared<content_entry>();
    file_ptr view = view_of(data, entry);
    EXPECT_EQ(view->get_size(abort), unknown_size);
    EXPECT_EQ(view->get_timestamp(abort), 42u);
    std::string got;
    std::string piece(chunk, '\0');
    for (uint32_t n; (n = view->read(piece.data(), chunk, abort)) != 0;) got.append(piece, 0, n);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(view->get_size(abort), data.size());
    EXPECT_TRUE(entry->verified());
    EXPECT_EQ(view->read(piece.data(), chunk, abort), 0u);
  }
}

TEST_F(DecodedView, SeeksBackwardFromTheNearestCheckpointAndForwardByDecoding) {
  const std::string data = clean_data(3 << 20);
  const std::string expected = plus_one(data);
  auto entry = std::make_shared<content_entry>();
  file_ptr view = view_of(data, entry);
  std::mt19937 random(5);
  uint64_t last = 0;
  for (int i = 0; i < 200; ++i) {
    uint64_t position = random() % (data.size() + 100);
    uint32_t count = random() % 5000;
    SCOPED_TRACE(testing::Message() << "at " << position << " count " << count);
    std::string want = position < expected.size() ? expected.substr(position, count) : "";
    uint64_t before = format.decoded;
    EXPECT_EQ(read_at(*view, position, count), want);
    // Behind the pass, decoding starts at the checkpoint before the target
    // once the pass has recorded it; ahead, the pass goes on.
    if (position < last && i > 20) {
      EXPECT_LE(format.decoded - before, plus_one_format::spacing + (1u << 20) + count);
    }
    last = position + count;
  }
  EXPECT_EQ(format.passes_from_start, 1u);
}

TEST_F(DecodedView, ALaterViewOfTheSameFileStartsAtItsCheckpointsAndKnowsItsSize) {
  const std::string data = clean_data(5 << 20);
  const std::string expected = plus_one(data);
  auto entry = std::make_shared<content_entry>();
  {
    file_ptr first = view_of(data, entry);
    // Reading past the end is what reveals it.
    EXPECT_EQ(read_at(*first, data.size() - 10, 20), expected.substr(data.size() - 10));
  }
  file_ptr second = view_of(data, entry);
  EXPECT_EQ(second->get_size(abort), data.size());
  uint64_t before = format.decoded;
  uint64_t target = 4 * (1 << 20) + 12345;
  EXPECT_EQ(read_at(*second, target, 100), expected.substr(target, 100));
  EXPECT_LE(format.decoded - before, plus_one_format::spacing + (1u << 20));
  // A seek past the known end stops at the end.
  second->seek(UINT64_MAX, abort);
  EXPECT_EQ(second->get_position(abort), data.size());
}

TEST_F(DecodedView, SkipStopsAtTheEnd) {
  const std::string data = clean_data(100000);
  file_ptr view = view_of(data, std::make_shared<content_entry>());
  EXPECT_EQ(view->skip(60000, abort), 60000u);
  EXPECT_EQ(view->skip(60000, abort), 40000u);
  EXPECT_EQ(view->get_position(abort), 100000u);
  EXPECT_EQ(view->skip(1, abort), 0u);
}

TEST_F(DecodedView, DamageFailsWhereItLiesEveryTimeAndBlocksVerification) {
  std::string data = clean_data(2 << 20);
  const uint64_t bad = 1500000;
  data[bad] = '\xFF';
  const std::string expected = plus_one(data);
  auto entry = std::make_shared<content_entry>();
  file_ptr view = view_of(data, entry);
  EXPECT_EQ(read_at(*view, 0, 1000), expected.substr(0, 1000));
  std::string buffer(4096, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    view->seek(bad - 100, abort);
    EXPECT_THROW_EXACT(view->read(buffer.data(), 4096, abort), exception_io_data, "bad byte");
  }
  // What lies well before the damage still reads, from a new pass.
  EXPECT_EQ(read_at(*view, 1000, 100), expected.substr(1000, 100));
  EXPECT_THROW_EXACT(static_cast<decoded_view&>(*view).verify_to_end(abort), exception_io_data,
                     "bad byte");
  EXPECT_FALSE(entry->verified());
  EXPECT_EQ(view->get_size(abort), unknown_size);
}

TEST_F(DecodedView, VerifyingAfterAPassFromACheckpointDecodesFromTheStart) {
  const std::string data = clean_data(3 << 20);
  auto entry = std::make_shared<content_entry>();
  {
    file_ptr first = view_of(data, entry);
    read_at(*first, 2 << 20, 10);  // records checkpoints up to there
  }
  file_ptr second = view_of(data, entry);
  read_at(*second, (2 << 20) + 5, 10);  // starts at a checkpoint
  EXPECT_EQ(format.passes_from_start, 1u);
  static_cast<decoded_view&>(*second).verify_to_end(abort);
  EXPECT_EQ(format.passes_from_start, 2u);
  EXPECT_TRUE(entry->verified());
  EXPECT_EQ(second->get_position(abort), (2u << 20) + 15);
}

TEST_F(DecodedView, TheUsersAbortStopsAReadAndALaterReadGoesOn) {
  const std::string data = clean_data(3 << 20);
  const std::string expected = plus_one(data);
  file_ptr view = view_of(data, std::make_shared<content_entry>());
  abort_callback_impl stop;
  stop.abort();
  std::string buffer(100, '\0');
  view->seek(2 << 20, abort);
  EXPECT_THROW_EXACT(view->read(buffer.data(), 100, stop), exception_aborted, "User abort");
  EXPECT_EQ(view->get_position(abort), 2u << 20);
  EXPECT_EQ(read_at(*view, 2 << 20, 100), expected.substr(2 << 20, 100));
}

TEST_F(DecodedView, ViewsOfOneFileOnSeveralThreadsShareItsIndexEntry) {
  const std::string data = clean_data(4 << 20);
  const std::string expected = plus_one(data);
  auto entry = std::make_shared<content_entry>();
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (unsigned t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      abort_callback_dummy none;
      file_ptr view = view_of(data, entry);
      std::mt19937 random(t);
      std::string buffer(3000, '\0');
      for (int i = 0; i < 40; ++i) {
        uint64_t position = random() % data.size();
        view->seek(position, none);
        buffer.resize(view->read(buffer.data(), 3000, none));
        if (buffer != expected.substr(position, 3000)) ++mismatches;
        buffer.resize(3000);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(entry->checkpoint_count(), 1u);
}

TEST_F(DecodedView, IsReadOnly) {
  file_ptr view = view_of("abc", std::make_shared<content_entry>());
  EXPECT_THROW_EXACT(view->write("x", 1, abort), exception_io_denied, "Access denied");
  EXPECT_THROW_EXACT(view->resize(0, abort), exception_io_denied, "Access denied");
}

TEST(ContentIndex, KeysOnPathSizeTimeStampAndFingerprintAndDropsTheLeastRecentlyUsed) {
  content_index_clear();
  auto a = content_index_find("a", 10, 1, 0);
  EXPECT_EQ(content_index_find("a", 10, 1, 0), a);
  EXPECT_NE(content_index_find("a", 11, 1, 0), a);
  EXPECT_NE(content_index_find("a", 10, 2, 0), a);
  EXPECT_NE(content_index_find("b", 10, 1, 0), a);
  EXPECT_NE(content_index_find("a", 10, 1, 7), a);
  EXPECT_EQ(content_index_size(), 5u);

  // Within the budget nothing goes; beyond it the least recently used
  // entries go first.
  content_index_set_budget(1 << 20);
  auto fill = [](content_entry& e) {
    for (uint64_t i = 0; i < 8; ++i) e.add_checkpoint({i << 20, std::vector<uint8_t>(60000)});
  };
  fill(*a);
  auto c = content_index_find("c", 1, 1, 0);
  fill(*c);
  content_index_find("c", 1, 1, 0);
  EXPECT_EQ(content_index_size(), 6u);
  auto d = content_index_find("d", 1, 1, 0);
  fill(*d);
  content_index_find("d", 1, 1, 0);
  // "a" was used least recently; dropping it is enough.
  EXPECT_EQ(content_index_size(), 6u);
  EXPECT_EQ(content_index_find("c", 1, 1, 0), c);
  EXPECT_EQ(content_index_find("d", 1, 1, 0), d);
  EXPECT_NE(content_index_find("a", 10, 1, 0), a);
  content_index_set_budget(64u << 20);
  content_index_clear();
}

TEST(ContentIndex, CheckpointsBeyondHalfTheBudgetAreThinnedKeepingCoverage) {
  content_index_set_budget(1 << 20);
  content_entry entry;
  for (uint64_t i = 0; i < 40; ++i) entry.add_checkpoint({i << 20, std::vector<uint8_t>(32768)});
  EXPECT_LT(entry.memory_bytes(), 1u << 20);
  EXPECT_GE(entry.checkpoint_count(), 4u);
  indexed_checkpoint c;
  ASSERT_TRUE(entry.checkpoint_at_or_before(0, c));
  EXPECT_EQ(c.point.output_position, 0u);
  ASSERT_TRUE(entry.checkpoint_at_or_before(40u << 20, c));
  EXPECT_GE(c.point.output_position, 30u << 20);
  // The same position twice is kept once.
  size_t count = entry.checkpoint_count();
  entry.add_checkpoint({0, std::vector<uint8_t>(8)});
  EXPECT_EQ(entry.checkpoint_count(), count);
  content_index_set_budget(64u << 20);
}

namespace {

struct OpenArchive : testing::Test {
  static plus_one_format format;
  test_host host;
  abort_callback_dummy abort;
  static void SetUpTestSuite() { register_view_format(format); }
  void SetUp() override { content_index_clear(); }
};
plus_one_format OpenArchive::format;

}  // namespace

TEST_F(OpenArchive, GivesViewsForMemberPathsOfFormatsThatHaveThem) {
  std::string path = host.put("mem://a.p1", "abc");
  auto member_path = [&](const std::string& member) {
    return "unpack://plus1|" + std::to_string(path.size()) + "|" + path + "|" + member;
  };
  file_ptr f = archive_impl::open_archive(member_path("a").c_str(), abort);
  ASSERT_NE(dynamic_cast<decoded_view*>(f.get_ptr()), nullptr);
  EXPECT_EQ(read_all(*f), "bcd");
  EXPECT_EQ(f->get_timestamp(abort), host.mem().timestamp);
  // The same file, opened again, finds the same index entry.
  file_ptr again = archive_impl::open_archive(member_path("b").c_str(), abort);
  EXPECT_EQ(again->get_size(abort), 3u);
  EXPECT_EQ(content_index_size(), 1u);

  // Other paths are opened as they are.
  file_ptr plain = archive_impl::open_archive(path.c_str(), abort);
  EXPECT_EQ(dynamic_cast<decoded_view*>(plain.get_ptr()), nullptr);
  EXPECT_EQ(read_all(*plain), "abc");
  EXPECT_THROW_EXACT(archive_impl::open_archive("unpack://plus1|8|mem://zz|a", abort),
                     exception_io_not_found, "Object not found");
}

// Checkpoints read from disk: a pass from one serves bytes only when its
// first bytes match the check; otherwise the file's index is forgotten and
// the pass starts from the beginning.
TEST_F(DecodedView, ACheckpointFromDiskIsUsedOnlyWhenItsCheckMatches) {
  char name[] = "/tmp/brenmoor-view-index-XXXXXX";
  std::string folder = ::mkdtemp(name);
  std::shared_ptr<index_store> store = index_store::open(folder + "/index", 1 << 20);
  ASSERT_NE(store, nullptr);
  const std::string long_data = clean_data(512 * 1024);
  const uint64_t at = 4 * plus_one_format::spacing;
  // Content that ends 1000 bytes after the checkpoint, inside what its
  // check covers.
  const std::string short_data = long_data.substr(0, at + 1000);
  auto checkpoint_at = [](uint64_t position) {
    return view_checkpoint{position, plus_one_format::state_at(position)};
  };
  auto check_of = [&](uint64_t position, const std::string& bytes) {
    return checkpoint_check_of(
        checkpoint_at(position), reinterpret_cast<const uint8_t*>(bytes.data() + position),
        std::min<size_t>(checkpoint_check_span, bytes.size() - position));
  };
  struct row {
    const char* what;
    const std::string& data;
    uint32_t check;
    bool used;
  };
  const row rows[] = {
      {"its check", long_data, check_of(at, plus_one(long_data)), true},
      {"the check of other bytes", long_data, check_of(at, long_data), false},
      {"the check of another place", long_data,
       check_of(at - plus_one_format::spacing, plus_one(long_data)), false},
      {"its check, the content ending inside it", short_data, check_of(at, plus_one(short_data)),
       true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string expected = plus_one(r.data);
    auto entry = std::make_shared<content_entry>();
    stored_content stored;
    view_checkpoint c = checkpoint_at(at);
    stored.checkpoints.push_back({c.output_position, c.state, r.check});
    entry->tie_to_store(store, {"plus1", r.data.size(), 1}, "/x", 7, std::move(stored));
    format.passes = 0;
    format.passes_from_start = 0;
    file_ptr view = view_of(r.data, entry);
    EXPECT_EQ(read_at(*view, at + 10, 100), expected.substr(at + 10, 100));
    EXPECT_EQ(format.passes_from_start.load(), r.used ? 0u : 1u);
    // A checkpoint whose check matched is decoded from once.
    if (r.used) {
      EXPECT_EQ(format.passes.load(), 1u);
    }
    indexed_checkpoint known;
    ASSERT_TRUE(entry->checkpoint_at_or_before(at, known));
    EXPECT_TRUE(known.confirmed);
  }
  store.reset();
  std::filesystem::remove_all(folder);
}
