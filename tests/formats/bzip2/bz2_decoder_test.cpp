#include "formats/bzip2/bz2_decoder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "formats/bzip2/bz2_archive.h"
#include "io/file_buffer.h"
#include "tests/support/bz2_data.h"
#include "tests/support/expect_throw.h"
#include "tests/support/faulty_file.h"
#include "tests/support/sample_files.h"
#include "tests/support/string_file.h"
#include "tests/support/test_host.h"
#include "tests/support/tripping_abort.h"

using sonovale_io::exception_io_data;
using sonovale_io::exception_io_data_truncation;
using sonovale_io::file_ptr;

namespace {

// ---- Files and the reference tool -------------------------------------

std::string decode_file(const file_ptr& input) {
  abort_callback_dummy abort;
  auto* out = new service_impl_t<string_file>();
  file_ptr holder(out);
  bz2_decode_into(input, abort, holder);
  return out->content;
}

std::string decode(const std::string& compressed) {
  return decode_file(memory_file(compressed));
}

// ---- Round trips through the real tool --------------------------------

TEST(Bz2Decode, MatchesToolOutput) {
  std::string runs;
  for (int i = 0; i < 600; ++i)
    runs += std::string(1 + (i * 37) % 300, static_cast<char>('a' + i % 5));
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of text\n";
  struct {
    const char* what;
    std::string data;
  } cases[] = {
      {"one byte", "x"},
      {"four equal bytes", "aaaa"},
      {"five equal bytes", "aaaaa"},
      {"259 equal bytes", std::string(259, 'q')},
      {"260 equal bytes", std::string(260, 'q')},
      {"long run", std::string(70000, 0)},
      {"runs of every length", runs},
      {"text", text},
      {"random", random_bytes(20000, 1)},
      {"4095 bytes", random_bytes(4095, 2)},
      {"4096 bytes", random_bytes(4096, 3)},
      {"4097 bytes", random_bytes(4097, 4)},
      {"8192 bytes", random_bytes(8192, 5)},
      {"repeat count across the chunk end", random_bytes(4090, 6) + std::string(300, 'z')},
      {"all 256 bytes",
       [] {
         std::string s;
         for (int i = 0; i < 256 * 4; ++i) s += static_cast<char>(i * 7 % 256);
         return s;
       }()},
  };
  for (const auto& c : cases) {
    for (int level : {1, 9}) {
      SCOPED_TRACE(std::string(c.what) + " at level " + std::to_string(level));
      std::string compressed = bzip2_compress(c.data, level);
      EXPECT_TRUE(same_bytes(bzip2_decompress(compressed).output, c.data));
      EXPECT_TRUE(same_bytes(decode(compressed), c.data));
    }
  }
}

TEST(Bz2Decode, EmptyStream) {
  std::string compressed = bzip2_compress("", 9);
  EXPECT_EQ(compressed.size(), 14u);
  EXPECT_EQ(decode(compressed), "");
}

TEST(Bz2Decode, SeveralBlocks) {
  // Level 1 blocks hold 100000 bytes; runs cross the block boundaries.
  std::string data = random_bytes(150000, 7, 4) + std::string(1000, 'r') + random_bytes(90000, 8);
  std::string compressed = bzip2_compress(data, 1);
  EXPECT_TRUE(same_bytes(decode(compressed), data));
}

// A file whose reads deliver at most `step` bytes, to make the bit reader
// refill at every possible point.
class trickle_file : public file_buffer {
 public:
  trickle_file(uint32_t step) : file_buffer(0, 0), step_(step) {}
  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override {
    return file_buffer::read(buffer, std::min(count, step_), abort);
  }

 private:
  uint32_t step_;
};

TEST(Bz2Decode, ShortReads) {
  std::string data = random_bytes(30000, 9, 16) + std::string(5000, 'k') + random_bytes(3000, 10);
  std::string compressed = bzip2_compress(data, 1);
  abort_callback_dummy abort;
  for (uint32_t step : {1u, 3u, 4095u}) {
    SCOPED_TRACE(step);
    file_ptr input(new service_impl_t<trickle_file>(step));
    input->write(compressed.data(), static_cast<uint32_t>(compressed.size()), abort);
    input->reopen(abort);
    EXPECT_TRUE(same_bytes(decode_file(input), data));
  }
}

TEST(Bz2Decode, ReadsFromCurrentPosition) {
  std::string compressed = bzip2_compress("positioned", 9);
  file_ptr input = memory_file("skip" + compressed);
  abort_callback_dummy abort;
  input->seek(4, abort);
  EXPECT_EQ(decode_file(input), "positioned");
}

// ---- Several streams and trailing bytes -------------------------------

TEST(Bz2Concatenation, DecodesEveryStream) {
  std::string a = random_bytes(5000, 11), b = std::string(3000, 'b') + "tail";
  std::string sa = bzip2_compress(a, 9), sb = bzip2_compress(b, 1), empty = bzip2_compress("", 5);
  EXPECT_TRUE(same_bytes(decode(sa + sb), a + b));
  EXPECT_TRUE(same_bytes(decode(sa + empty + sb + sa), a + b + a));
  EXPECT_EQ(decode(empty + empty), "");
}

TEST(Bz2Concatenation, TrailingBytesAreIgnored) {
  std::string s = bzip2_compress("payload", 9);
  for (std::string tail :
       {std::string("garbage"), std::string("B"), std::string("BZ"), std::string("BZh"),
        std::string("BZh0"), std::string("BZx9"), std::string(100, '\0')}) {
    SCOPED_TRACE(tail);
    EXPECT_EQ(decode(s + tail), "payload");
  }
}

TEST(Bz2Concatenation, DamagedLaterStreamFails) {
  std::string s = bzip2_compress("payload", 9);
  // A header that starts another stream commits to it.
  EXPECT_THROW_EXACT(decode(s + "BZh9"), exception_io_data_truncation,
                     "Unsupported format or corrupted file");
  EXPECT_THROW_EXACT(decode(s + "BZh9" + std::string(10, 'g')), exception_io_data,
                     "Not BZIP2 data");
  std::string damaged = s;
  damaged[damaged.size() - 2] ^= 0x10;  // the stream CRC
  EXPECT_THROW_EXACT(decode(s + damaged), exception_io_data, "Unknown exception");
  // After a failed stream nothing further is examined.
  EXPECT_THROW_EXACT(decode(damaged + s), exception_io_data, "Unknown exception");
}

// ---- The error table ---------------------------------------------------

std::string with_byte(std::string s, size_t at, char value) {
  s[at] = value;
  return s;
}

TEST(Bz2Errors, HeaderAndRecordMagic) {
  std::string s = bzip2_compress("some data", 9);
  EXPECT_THROW_EXACT(decode(""), exception_io_data_truncation,
                     "Unsupported format or corrupted file");
  EXPECT_THROW_EXACT(decode("BZh"), exception_io_data_truncation,
                     "Unsupported format or corrupted file");
  EXPECT_THROW_EXACT(decode(with_byte(s, 3, '0')), exception_io_data, "Not BZIP2 data");
  EXPECT_THROW_EXACT(decode(with_byte(s, 3, ':')), exception_io_data, "Not BZIP2 data");
  EXPECT_THROW_EXACT(decode(with_byte(s, 0, 'b')), exception_io_data, "Not BZIP2 data");
  EXPECT_THROW_EXACT(decode(with_byte(s, 2, 'H')), exception_io_data, "Not BZIP2 data");
  // Block magic: first half wrong, or first half right and second wrong.
  EXPECT_THROW_EXACT(decode(with_byte(s, 4, 0x30)), exception_io_data, "Not BZIP2 data");
  EXPECT_THROW_EXACT(decode(with_byte(s, 9, 0x58)), exception_io_data, "Not BZIP2 data");
  // The end-of-stream magic with a wrong second half.
  std::string empty = bzip2_compress("", 9);
  EXPECT_THROW_EXACT(decode(with_byte(empty, 8, 0x51)), exception_io_data, "Not BZIP2 data");
}

TEST(Bz2Errors, RandomisedBlock) {
  std::string s = bzip2_compress("some data", 9);
  // The bit after the 48-bit magic and the 32-bit CRC.
  s[14] = static_cast<char>(s[14] | 0x80);
  EXPECT_THROW_EXACT(decode(s), exception_io_data, "Obsolete input");
}

TEST(Bz2Errors, CrcMismatch) {
  std::string data = random_bytes(10000, 12);
  std::string s = bzip2_compress(data, 9);
  std::string bad_block = s;
  bad_block[10] ^= 0x01;  // stored block CRC
  abort_callback_dummy abort;
  auto* out = new service_impl_t<string_file>();
  file_ptr holder(out);
  EXPECT_THROW_EXACT(bz2_decode_into(memory_file(bad_block), abort, holder), exception_io_data,
                     "Unknown exception");
  // Two whole chunks were written before the block ended; the last,
  // partial chunk of the failing block is not delivered.
  EXPECT_TRUE(same_bytes(out->content, data.substr(0, 8192)));

  std::string bad_stream = bzip2_compress("", 9);
  bad_stream[13] ^= 0x40;
  EXPECT_THROW_EXACT(decode(bad_stream), exception_io_data, "Unknown exception");
}

TEST(Bz2Errors, EveryCutIsATruncation) {
  std::string s = bzip2_compress("A short text, cut everywhere. aaaaaaaa", 9);
  for (size_t n = 0; n < s.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_THROW_EXACT(decode(s.substr(0, n)), exception_io_data_truncation,
                       "Unsupported format or corrupted file");
  }
}

// A block header up to the symbol map, ready for hand-made tables.
bit_writer table_prefix(std::vector<uint8_t> used = {'a', 'b'}, uint32_t origin = 0) {
  bit_writer w;
  w.put(0x425A6831, 32);
  write_block_header(w, 0, origin, used);
  return w;
}

TEST(Bz2Errors, BlockTables) {
  // Fields after the symbol map of {'a', 'b'}: group count (3 bits),
  // selector count (15), selectors in unary, then per group a 5-bit start
  // length and per symbol its steps (10 = +1, 11 = -1) ended by a 0.
  struct field {
    uint32_t value;
    int bits;
  };
  struct {
    const char* what;
    std::vector<field> fields;
  } cases[] = {
      {"group count 1", {{1, 3}}},
      {"group count 7", {{7, 3}}},
      {"selector count 0", {{2, 3}, {0, 15}}},
      {"selector beyond the groups", {{3, 3}, {1, 15}, {0b111, 3}}},
      {"code length starting at 0", {{2, 3}, {1, 15}, {0, 1}, {0, 5}}},
      {"code length starting at 21", {{2, 3}, {1, 15}, {0, 1}, {21, 5}}},
      {"code length stepping to 0 and back",
       {{2, 3}, {1, 15}, {0, 1}, {1, 5}, {0b11, 2}, {0b10, 2}, {0, 1}}},
      {"code length stepping to 21 in the last group",
       {{2, 3}, {1, 15}, {0, 1}, {5, 5}, {0, 4}, {20, 5}, {0, 1}, {0b10, 2}, {0b11, 2}, {0, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bit_writer w = table_prefix();
    for (const field& f : c.fields) w.put(f.value, f.bits);
    EXPECT_THROW_EXACT(decode(w.finish()), exception_io_data, "Data error");
  }
  EXPECT_THROW_EXACT(decode(table_prefix({'a'}, 100001).finish()), exception_io_data, "Data error");
}

TEST(Bz2Errors, SymbolStream) {
  std::string text = "abcabd";
  test_block good = block_from_text(text);
  ASSERT_EQ(decode(make_stream(1, {good})), text);

  test_block b = good;
  b.selector_count = 0;  // checked before any symbol
  EXPECT_THROW_EXACT(decode(make_stream(1, {b})), exception_io_data, "Data error");

  // 51 symbols but one selector: the 51st has no group.
  b = good;
  b.symbols.clear();
  for (int i = 0; i < 51; ++i) b.symbols.push_back(2);
  b.symbols.push_back(static_cast<uint32_t>(b.used.size()) + 1);
  b.selector_count = 1;
  EXPECT_THROW_EXACT(decode(make_stream(1, {b})), exception_io_data, "Data error");

  // A code that no symbol has: with 3-bit codes for an alphabet of 4,
  // the values 4 to 7 are unused.
  b = block_from_text("ab");
  ASSERT_EQ(b.used.size(), 2u);
  b.code_length = 3;
  b.symbols.insert(b.symbols.begin(), 6);
  EXPECT_THROW_EXACT(decode(make_stream(1, {b})), exception_io_data, "Data error");

  // Origin pointer equal to the capacity passes the header check, but a
  // non-empty block needs it below its entry count.
  b = good;
  b.origin = 100000;
  EXPECT_THROW_EXACT(decode(make_stream(1, {b})), exception_io_data, "Data error");
  b.origin = static_cast<uint32_t>(text.size());
  EXPECT_THROW_EXACT(decode(make_stream(1, {b})), exception_io_data, "Data error");

  // An empty block is fine with any origin up to the capacity.
  test_block empty;
  empty.used = {'a'};
  empty.symbols = {2};
  empty.origin = 100000;
  empty.crc = bzip2_crc("");
  EXPECT_EQ(decode(make_stream(1, {empty, good})), text);
}

TEST(Bz2Errors, CodeLengthsUpTo20) {
  // The same block coded with every code length from the shortest to 20:
  // short codes come from the lookup table, long ones from the scan.
  std::string text = runless_text(3000, 13, 20);
  test_block b = block_from_text(text);
  for (int length = 5; length <= 20; ++length) {
    SCOPED_TRACE(length);
    b.code_length = length;
    EXPECT_TRUE(same_bytes(decode(make_stream(1, {b})), text));
  }
}

// ---- The inverse transform on columns no compressor writes ------------

TEST(Bz2Transform, DamagedColumnsDecodeLikeTheTool) {
  // Random columns link their rows into several cycles, so following the
  // links from the origin repeats a shorter cycle; decoders agree on
  // that output (its CRC is made to match here).
  for (uint32_t seed : {21u, 22u, 23u}) {
    SCOPED_TRACE(seed);
    std::string column = random_bytes(5000, seed, 3);
    uint32_t origin = seed * 997 % 5000;
    std::string expected = reference_output(column, origin);
    std::string stream = make_stream(1, {block_from_column(column, origin, expected)});
    EXPECT_TRUE(same_bytes(bzip2_decompress(stream).output, expected));
    EXPECT_TRUE(same_bytes(decode(stream), expected));
  }
}

// ---- Blocks at the capacity -------------------------------------------

// A level-1 block of exactly 100000 entries whose last symbol is a run
// or a literal. The two rotations starting with the text's only 0xFF
// bytes sort last, so the bytes before them end the last column: equal
// bytes there end it with a run.
std::string full_block_text(bool ends_with_run) {
  std::string text = runless_text(100000, 16, 250, 0);
  text[999] = 'x';
  text[1000] = static_cast<char>(0xFF);
  text[49999] = ends_with_run ? 'x' : 'y';
  text[50000] = static_cast<char>(0xFF);
  return text;
}

TEST(Bz2Capacity, FullBlockIsAccepted) {
  for (bool run : {false, true}) {
    SCOPED_TRACE(run ? "ends with a run" : "ends with a literal");
    std::string text = full_block_text(run);
    test_block block = block_from_text(text);
    ASSERT_EQ(block.symbols[block.symbols.size() - 2] <= 1, run);
    std::string stream = make_stream(1, {block});
    // The reference tool agrees that the stream is valid.
    tool_result reference = bzip2_decompress(stream);
    EXPECT_EQ(reference.status, 0);
    EXPECT_TRUE(same_bytes(reference.output, text));
    EXPECT_TRUE(same_bytes(decode(stream), text));
  }
}

TEST(Bz2Capacity, OverfullBlockIsRefused) {
  // 100000 copies of 'a' fill a level-1 block exactly: every fifth entry
  // is a repeat count of 97, so each five entries give 101 bytes.
  std::string expected(20000 * 101, 'a');
  test_block full;
  full.used = {'a', 'b'};
  put_run(full.symbols, 100000);
  full.symbols.push_back(3);
  full.crc = bzip2_crc(expected);
  std::string stream = make_stream(1, {full});
  EXPECT_TRUE(same_bytes(bzip2_decompress(stream).output, expected));
  EXPECT_TRUE(same_bytes(decode(stream), expected));

  test_block over = full;
  over.symbols.clear();
  put_run(over.symbols, 100001);
  over.symbols.push_back(3);
  EXPECT_THROW_EXACT(decode(make_stream(1, {over})), exception_io_data, "Data error");

  // A literal after the block is full.
  test_block literal = full;
  literal.symbols.pop_back();
  literal.symbols.push_back(2);
  literal.symbols.push_back(3);
  EXPECT_THROW_EXACT(decode(make_stream(1, {literal})), exception_io_data, "Data error");

  // A run far too long to count stops growing and is still refused.
  test_block huge = full;
  huge.symbols.assign(60, 1);
  huge.symbols.push_back(3);
  EXPECT_THROW_EXACT(decode(make_stream(1, {huge})), exception_io_data, "Data error");
}

// ---- Decoding tables ---------------------------------------------------

namespace {

// Builds `trials` groups from random code lengths (1 to 20 bits for 2 to
// 258 symbols, from a narrow or a wide band: complete, incomplete and
// over-full codes alike) drawn from a generator seeded with `seed`, and
// calls `check(group, symbol_count, generator)` on each. Before each build
// every sorted symbol is set to 500, so that entries the build leaves
// alone show. Stops at the first fatal failure.
template <typename F>
void for_random_groups(uint32_t seed, int trials, F check) {
  std::mt19937 rng(seed);
  for (int trial = 0; trial < trials; ++trial) {
    SCOPED_TRACE(trial);
    int count = 2 + static_cast<int>(rng() % 257);
    int spread = 1 + static_cast<int>(rng() % 20);
    int low = 1 + static_cast<int>(rng() % (21 - spread));
    std::vector<uint8_t> lengths(count);
    for (auto& l : lengths) l = static_cast<uint8_t>(low + rng() % spread);
    huffman_group g{};
    for (int32_t& s : g.sorted_symbols) s = 500;
    huffman_group_build(g, lengths.data(), count);
    check(g, count, rng);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace

TEST(Bz2Huffman, TableExample) {
  huffman_group g{};
  const uint8_t lengths[] = {2, 1, 3, 3};
  huffman_group_build(g, lengths, 4);
  EXPECT_EQ(g.min_length, 1);
  EXPECT_EQ(g.max_length, 3);
  EXPECT_EQ(g.limit[1], 3);
  EXPECT_EQ(g.limit[2], 5);
  EXPECT_EQ(g.limit[3], 7);
  EXPECT_EQ(g.limit[4], 2147483647);
  EXPECT_EQ(g.base[1], 0);
  EXPECT_EQ(g.base[2], 1);
  EXPECT_EQ(g.base[3], 4);
  EXPECT_EQ(std::vector<int32_t>(g.sorted_symbols, g.sorted_symbols + 4),
            (std::vector<int32_t>{1, 0, 2, 3}));
  // Codes 0, 10, 110, 111 as 3-bit values.
  struct {
    uint32_t v;
    int32_t symbol, length;
  } codes[] = {{0b000, 1, 1}, {0b011, 1, 1}, {0b100, 0, 2},
               {0b101, 0, 2}, {0b110, 2, 3}, {0b111, 3, 3}};
  for (const auto& c : codes) {
    int32_t length = 0;
    EXPECT_EQ(huffman_group_scan(g, c.v, length), c.symbol);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(g.lookup[c.v], c.symbol | c.length << 9);
  }
}

TEST(Bz2Huffman, LookupAgreesWithScan) {
  // Complete, incomplete and over-full codes alike: wherever the lookup
  // table answers, it gives the scan's symbol and length.
  for_random_groups(14, 300, [](const huffman_group& g, int, std::mt19937& rng) {
    ASSERT_EQ(g.lookup_bits, std::min(g.max_length, 10));
    uint32_t shift = static_cast<uint32_t>(g.max_length - g.lookup_bits);
    // The first, last and one other value of each prefix.
    for (uint32_t prefix = 0; prefix < (1u << g.lookup_bits); ++prefix) {
      uint32_t entry = g.lookup[prefix];
      if (entry == 0) continue;
      uint32_t first = prefix << shift, last = first + (1u << shift) - 1;
      for (uint32_t v : {first, last, first + static_cast<uint32_t>(rng() % (1u << shift))}) {
        int32_t length = 0;
        ASSERT_EQ(huffman_group_scan(g, v, length), static_cast<int32_t>(entry & 511)) << v;
        ASSERT_EQ(length, static_cast<int32_t>(entry >> 9)) << v;
      }
    }
  });
  // Every code of up to 10 bits of a complete code is in the table; only
  // the prefix of the two 11-bit codes is left to the scan.
  huffman_group g{};
  const uint8_t complete[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 11};
  huffman_group_build(g, complete, 12);
  for (uint32_t prefix = 0; prefix < 1024; ++prefix) {
    EXPECT_EQ(g.lookup[prefix] == 0, prefix == 1023) << prefix;
  }
}

TEST(Bz2Huffman, CodesNeverReachBeyondTheAlphabet) {
  // Blocks decode alone only if no code finds a table entry that an
  // earlier block left beyond the current alphabet: mark those entries and
  // look for them, over incomplete and over-full codes too.
  for_random_groups(17, 2000, [](const huffman_group& g, int count, std::mt19937&) {
    for (int i = count; i < 258; ++i) ASSERT_EQ(g.sorted_symbols[i], 500);
    uint32_t values = 1u << g.max_length;
    uint32_t step = std::max(1u, values >> 12);
    for (uint32_t v = 0; v < values; v += step) {
      int32_t length = 0;
      ASSERT_LT(huffman_group_scan(g, v, length), count) << v;
    }
    for (uint16_t entry : g.lookup) ASSERT_LT(static_cast<int>(entry & 511), count);
  });
}

// ---- Failing files -----------------------------------------------------

TEST(Bz2Faults, ReadFailuresPassThrough) {
  std::string compressed = bzip2_compress(random_bytes(20000, 15), 9);
  for (fault_kind kind : {fault_kind::io_error, fault_kind::abort}) {
    for (uint64_t n = 1; n <= 4; ++n) {
      SCOPED_TRACE(n);
      file_ptr input = make_faulty_file(memory_file(compressed), fault_plan{fault_read, n, kind});
      if (kind == fault_kind::abort) {
        EXPECT_THROW_EXACT(decode_file(input), sonovale_io::exception_aborted, "User abort");
      } else {
        EXPECT_THROW_EXACT(decode_file(input), sonovale_io::exception_io_denied, "Access denied");
      }
    }
  }
}

TEST(Bz2Faults, AbortIsPolledEveryMebibyte) {
  // One block of 900000 bytes 0xFF, every fifth a repeat count of 255:
  // 46.6 MB from a few bytes. Its CRC is never reached.
  test_block block;
  block.used = {0xFF};
  put_run(block.symbols, 900000);
  block.symbols.push_back(2);
  std::string stream = make_stream(9, {block});
  ASSERT_LT(stream.size(), 100u);
  for (uint64_t trip : {1u, 2u, 7u}) {
    SCOPED_TRACE(trip);
    fault_log log;
    auto* out = new service_impl_t<string_file>();
    file_ptr holder(out);
    tripping_abort abort(trip);
    {
      file_ptr input = make_faulty_file(memory_file(stream), fault_plan{fault_read, 0}, &log);
      EXPECT_THROW_EXACT(bz2_decode_into(input, abort, holder), sonovale_io::exception_aborted,
                         "User abort");
    }
    EXPECT_EQ(abort.polls(), trip);
    EXPECT_EQ(out->content.size(), trip << 20);
    EXPECT_EQ(log.live_files, 0) << "the input was not released";
  }
}

// ---- Real-world files --------------------------------------------------

TEST(Bz2Corpus, AgreesWithTool) {
  std::filesystem::path root = fetched_corpus();
  if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "no corpus at " << root;
  std::vector<std::filesystem::path> files = bz2_files_under(root);
  ASSERT_FALSE(files.empty());
  int decoded = 0, refused = 0, obsolete = 0;
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    std::string compressed = read_file(path);
    tool_result reference = bzip2_decompress(compressed);
    std::string ours;
    std::string error;
    try {
      ours = decode(compressed);
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (error == "Obsolete input") {
      // Randomised blocks are refused by design; the tool still reads them.
      EXPECT_EQ(reference.status, 0);
      ++obsolete;
    } else if (reference.status == 0) {
      EXPECT_EQ(error, "");
      EXPECT_TRUE(same_bytes(ours, reference.output));
      ++decoded;
    } else {
      EXPECT_NE(error, "") << "the tool refuses this file";
      ++refused;
    }
  }
  RecordProperty("decoded", decoded);
  RecordProperty("refused", refused);
  RecordProperty("obsolete", obsolete);
}

}  // namespace
