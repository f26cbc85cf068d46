#include "formats/bzip2/bz2_parallel.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "formats/bzip2/bz2_archive.h"
#include "formats/bzip2/bz2_block_finder.h"
#include "formats/bzip2/bz2_decoder.h"
#include "tests/support/bz2_data.h"
#include "tests/support/faulty_file.h"
#include "tests/support/sample_files.h"
#include "tests/support/string_file.h"
#include "tests/support/tripping_abort.h"

using namespace sonovale_io;

namespace {

// An output that only the thread which made it may write to.
class owned_output : public string_file {
 public:
  std::thread::id owner = std::this_thread::get_id();
  bool foreign_write = false;
  void write(const void* buffer, uint32_t count, abort_callback& abort) override {
    if (std::this_thread::get_id() != owner) foreign_write = true;
    string_file::write(buffer, count, abort);
  }
};

// What bz2_decode_into wrote, and the exception's class and message or
// nothing.
struct decoded {
  std::string bytes;
  std::string error;
};

decoded decode_with(const std::string& compressed, unsigned workers) {
  bz2_workers setting(workers);
  decoded d;
  abort_callback_dummy abort;
  auto* out = new service_impl_t<owned_output>();
  file_ptr holder(out);
  try {
    bz2_decode_into(memory_file(compressed), abort, holder);
  } catch (const std::exception& e) {
    d.error = std::string(typeid(e).name()) + ": " + e.what();
  }
  EXPECT_FALSE(out->foreign_write);
  d.bytes = out->content;
  return d;
}

// Decoding with three workers writes what decoding in sequence writes,
// up to a failure too, and ends the same way.
void expect_same(const std::string& compressed) {
  decoded one = decode_with(compressed, 1);
  decoded many = decode_with(compressed, 3);
  EXPECT_EQ(many.error, one.error);
  EXPECT_TRUE(same_bytes(many.bytes, one.bytes));
}

// For each block of the first stream of `compressed`, in order: whether a
// worker of a pool decoded it.
std::vector<bool> decoded_by_workers(const std::string& compressed) {
  abort_callback_dummy abort;
  bz2_block_pool pool(memory_file(compressed), 0, 3, abort);
  bz2_stream_walk walk;
  bz2_walk_create(walk);
  walk.pool = &pool;
  bz2_bits_start(walk.bits, pool.source());
  std::vector<bool> by_workers;
  EXPECT_EQ(bz2_walk_stream_header(walk), bz2_ok);
  while (bz2_walk_record(walk) == bz2_ok) by_workers.push_back(walk.decoded != nullptr);
  return by_workers;
}

TEST(Bz2Parallel, SameAsSequentialOnTestFilesAndSeeds) {
  std::vector<std::filesystem::path> files = bz2_files_under(TESTDATA_DIR);
  std::vector<std::filesystem::path> seeds =
      bz2_files_under(std::filesystem::path(TESTDATA_DIR) / ".." / ".." / "fuzz" / "seeds");
  ASSERT_GE(files.size(), 40u);
  ASSERT_GE(seeds.size(), 8u);
  files.insert(files.end(), seeds.begin(), seeds.end());
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    expect_same(file_bytes(path));
  }
}

TEST(Bz2Parallel, SameAsSequentialOnCorpus) {
  std::filesystem::path root = fetched_corpus();
  std::vector<std::filesystem::path> files = bz2_files_under(root);
  if (files.empty()) GTEST_SKIP() << "no corpus at " << root;
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    expect_same(file_bytes(path));
  }
}

TEST(Bz2Parallel, SameAsSequentialOnDamagedStreams) {
  // Two streams of several level-1 blocks each, then trailing bytes.
  std::string made = bzip2_compress(random_bytes(230000, 41, 16), 1) +
                     bzip2_compress(random_bytes(120000, 42, 64), 1) + "tail";
  EXPECT_EQ(decoded_by_workers(made), std::vector<bool>(3, true));
  expect_same(made);
  for (size_t at = 3; at < made.size(); at += made.size() / 19) {
    SCOPED_TRACE(at);
    std::string flipped = made;
    flipped[at] ^= 0x20;
    expect_same(flipped);
    expect_same(made.substr(0, at));
  }
}

// Move-to-front decoding of `symbols` (literals only) over `used`.
std::string column_of(const std::vector<uint32_t>& symbols, std::vector<uint8_t> used) {
  std::string column;
  for (uint32_t s : symbols) {
    uint32_t p = s - 1;
    uint8_t b = used[p];
    used.erase(used.begin() + p);
    used.insert(used.begin(), b);
    column += static_cast<char>(b);
  }
  return column;
}

TEST(Bz2Parallel, BlockMagicInsideCompressedData) {
  // With 100 bytes in use, symbols take 7 bits each; these seven spell
  // the block magic, which thus lies inside the second block's data.
  test_block inner;
  for (int c = 0; c < 100; ++c) inner.used.push_back(static_cast<uint8_t>(c));
  std::mt19937 rng(43);
  for (int i = 0; i < 3000; ++i) {
    if (i == 1500) {
      for (uint32_t s : {24u, 80u, 43u, 18u, 50u, 77u, 50u}) inner.symbols.push_back(s);
    }
    inner.symbols.push_back(2 + rng() % 99);
  }
  std::string inner_text = reference_output(column_of(inner.symbols, inner.used), 0);
  inner.symbols.push_back(101);
  inner.crc = bzip2_crc(inner_text);
  std::string before = runless_text(3000, 44, 20), after = runless_text(2000, 45, 20);
  std::string stream =
      make_stream(1, {block_from_text(before), inner, block_from_text(after)}) + "tail";

  // The finder reports the magic inside the data besides the three blocks.
  bz2_block_finder finder;
  std::deque<uint64_t> found;
  finder.scan(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), found);
  bz2_memory_source source(reinterpret_cast<const uint8_t*>(stream.data()),
                           static_cast<uint32_t>(stream.size()));
  bz2_stream_walk walk;
  bz2_walk_create(walk);
  bz2_bits_start(walk.bits, source);
  ASSERT_EQ(bz2_walk_stream_header(walk), bz2_ok);
  std::set<uint64_t> starts;
  while (bz2_walk_record(walk) == bz2_ok) starts.insert(walk.record_position);
  ASSERT_EQ(starts.size(), 3u);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(std::count_if(found.begin(), found.end(), [&](uint64_t p) { return !starts.count(p); }),
            1);

  // The candidate inside cuts the bytes a worker gets for the second
  // block short, so the walk decodes that block itself.
  EXPECT_EQ(decoded_by_workers(stream), (std::vector<bool>{true, false, true}));
  decoded many = decode_with(stream, 3);
  EXPECT_EQ(many.error, "");
  EXPECT_TRUE(same_bytes(many.bytes, before + inner_text + after));
  expect_same(stream);
}

TEST(Bz2Parallel, AbortStopsEveryWorker) {
  // Eight level-1 blocks of 100000 'a's, each expanding to 2.02 MB: more
  // than a worker keeps, so each is expanded to check it and again to
  // write it.
  const std::string expected(20000 * 101, 'a');
  test_block full;
  full.used = {'a', 'b'};
  put_run(full.symbols, 100000);
  full.symbols.push_back(3);
  full.crc = bzip2_crc(expected);
  std::string stream = make_stream(1, std::vector<test_block>(8, full));

  EXPECT_EQ(decoded_by_workers(stream), std::vector<bool>(8, true));
  decoded whole = decode_with(stream, 3);
  EXPECT_EQ(whole.error, "");
  EXPECT_EQ(whole.bytes.size(), 8 * expected.size());

  bz2_workers setting(3);
  for (uint64_t trip : {1u, 5u, 12u}) {
    SCOPED_TRACE(trip);
    tripping_abort abort(trip);
    fault_log log;
    auto* out = new service_impl_t<owned_output>();
    file_ptr holder(out);
    bool aborted = false;
    {
      file_ptr input = make_faulty_file(memory_file(stream), fault_plan{fault_read, 0}, &log);
      try {
        bz2_decode_into(input, abort, holder);
      } catch (const exception_aborted&) {
        aborted = true;
      }
    }
    EXPECT_TRUE(aborted);
    // The writes stop at the poll that saw the abort, as in sequence, and
    // every worker has stopped: nothing else is written.
    EXPECT_EQ(abort.polls(), trip);
    EXPECT_EQ(out->content.size(), trip << 20);
    EXPECT_FALSE(out->foreign_write);
    EXPECT_EQ(log.live_files, 0) << "the input was not released";
  }
}

TEST(Bz2BlockFinder, FindsTheMagicAtEveryBitAndAcrossScans) {
  // The magic at each of the first bit positions of random data, found
  // wherever the data is split between two scans.
  for (uint64_t bit = 0; bit < 24; ++bit) {
    SCOPED_TRACE(bit);
    bit_writer w;
    std::string noise = random_bytes(8, static_cast<uint32_t>(bit), 2);
    for (uint64_t i = 0; i < bit; ++i) w.put_bit(noise[i % 8] & 1);
    w.put(0x314159, 24);
    w.put(0x265359, 24);
    w.put(0, 8);
    std::string data = w.finish();
    for (size_t split = 0; split <= data.size(); ++split) {
      bz2_block_finder finder(100);
      std::deque<uint64_t> found;
      const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
      finder.scan(p, split, found);
      finder.scan(p + split, data.size() - split, found);
      ASSERT_EQ(found.size(), 1u) << split;
      EXPECT_EQ(found[0], 800 + bit) << split;
    }
  }
}

}  // namespace
