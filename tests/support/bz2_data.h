// bzip2 test data: the bzip2 tool as the reference, byte comparisons,
// streams written field by field (a block's symbols coded with fixed-length
// codes, its column or text given), the bzip2 files of the shared corpus
// and of tests/data, and the decoder's worker count for a scope.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "formats/bzip2/bz2_parallel.h"
#include "tests/support/tool_run.h"

// ---- The reference tool -------------------------------------------------

inline std::string bzip2_compress(const std::string& data, int level) {
  tool_result r = run_tool("bzip2 -c -" + std::to_string(level), data);
  EXPECT_EQ(r.status, 0);
  return r.output;
}

inline tool_result bzip2_decompress(const std::string& compressed) {
  return run_tool("bzip2 -dc", compressed);
}

inline std::string random_bytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  std::string s(n, 0);
  for (char& c : s) c = static_cast<char>(rng() % alphabet);
  return s;
}

// ---- Hand-made streams -------------------------------------------------

// Writes bits most significant first, as the format stores them.
class bit_writer {
 public:
  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) put_bit((value >> i) & 1);
  }
  void put_bit(uint32_t bit) {
    acc_ = acc_ << 1 | bit;
    if (++n_ == 8) {
      bytes_ += static_cast<char>(acc_);
      acc_ = 0;
      n_ = 0;
    }
  }
  // The bytes so far, the last one padded with zero bits.
  std::string finish() const {
    std::string out = bytes_;
    if (n_ != 0) out += static_cast<char>(acc_ << (8 - n_));
    return out;
  }

 private:
  std::string bytes_;
  uint32_t acc_ = 0;
  int n_ = 0;
};

// Bit by bit, independent of the decoder's table.
inline uint32_t bzip2_crc(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= static_cast<uint32_t>(c) << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return ~crc;
}

inline uint32_t combine_crc(uint32_t combined, uint32_t block) {
  return ((combined << 1) | (combined >> 31)) ^ block;
}

// One block as symbols: every symbol is coded with `code_length` bits
// (code = symbol number), both groups alike, every selector 0.
struct test_block {
  std::vector<uint8_t> used;      // the symbol map, ascending
  std::vector<uint32_t> symbols;  // end of block included
  uint32_t origin = 0;
  uint32_t crc = 0;
  int code_length = 0;      // 0: the shortest that fits the alphabet
  int selector_count = -1;  // -1: enough for the symbols
};

inline void write_block_header(bit_writer& w, uint32_t crc, uint32_t origin,
                               const std::vector<uint8_t>& used) {
  w.put(0x314159, 24);
  w.put(0x265359, 24);
  w.put(crc, 32);
  w.put(0, 1);
  w.put(origin, 24);
  uint32_t ranges = 0;
  uint32_t present[16] = {};
  for (uint8_t c : used) {
    ranges |= 0x8000u >> (c >> 4);
    present[c >> 4] |= 0x8000u >> (c & 15);
  }
  w.put(ranges, 16);
  for (int r = 0; r < 16; ++r) {
    if (ranges & (0x8000u >> r)) w.put(present[r], 16);
  }
}

inline void write_block(bit_writer& w, const test_block& b) {
  write_block_header(w, b.crc, b.origin, b.used);
  int alphabet = static_cast<int>(b.used.size()) + 2;
  int length = b.code_length;
  if (length == 0) {
    length = 1;
    while ((1 << length) < alphabet) ++length;
  }
  int selectors =
      b.selector_count >= 0 ? b.selector_count : static_cast<int>((b.symbols.size() + 49) / 50);
  w.put(2, 3);
  w.put(static_cast<uint32_t>(selectors), 15);
  for (int s = 0; s < selectors; ++s) w.put_bit(0);
  for (int g = 0; g < 2; ++g) {
    w.put(static_cast<uint32_t>(length), 5);
    for (int s = 0; s < alphabet; ++s) w.put_bit(0);
  }
  for (uint32_t symbol : b.symbols) w.put(symbol, length);
}

inline std::string make_stream(int digit, const std::vector<test_block>& blocks) {
  bit_writer w;
  w.put(0x425A6830u + static_cast<uint32_t>(digit), 32);
  uint32_t combined = 0;
  for (const test_block& b : blocks) {
    write_block(w, b);
    combined = combine_crc(combined, b.crc);
  }
  w.put(0x177245, 24);
  w.put(0x385090, 24);
  w.put(combined, 32);
  return w.finish();
}

// Appends the run symbols for `run` copies (bijective base 2, least
// significant digit first: symbol 0 weighs 1, symbol 1 weighs 2).
inline void put_run(std::vector<uint32_t>& symbols, uint32_t run) {
  while (run > 0) {
    if (run & 1) {
      symbols.push_back(0);
      run = (run - 1) / 2;
    } else {
      symbols.push_back(1);
      run = (run - 2) / 2;
    }
  }
}

// Move-to-front and run coding of a block's last column.
inline test_block block_from_column(const std::string& column, uint32_t origin,
                                    const std::string& output) {
  test_block b;
  for (int c = 0; c < 256; ++c) {
    if (column.find(static_cast<char>(c)) != std::string::npos)
      b.used.push_back(static_cast<uint8_t>(c));
  }
  std::vector<uint8_t> mtf = b.used;
  uint32_t run = 0;
  for (unsigned char c : column) {
    auto at = std::find(mtf.begin(), mtf.end(), c);
    uint32_t p = static_cast<uint32_t>(at - mtf.begin());
    if (p == 0) {
      ++run;
      continue;
    }
    put_run(b.symbols, run);
    run = 0;
    b.symbols.push_back(p + 1);
    std::rotate(mtf.begin(), at, at + 1);
  }
  put_run(b.symbols, run);
  b.symbols.push_back(static_cast<uint32_t>(b.used.size()) + 1);
  b.origin = origin;
  b.crc = bzip2_crc(output);
  return b;
}

// The Burrows-Wheeler transform: the last column of the sorted rotations
// and the row of the text itself. The text must not be periodic.
inline test_block block_from_text(const std::string& text) {
  size_t n = text.size();
  std::vector<uint32_t> rows(n);
  std::iota(rows.begin(), rows.end(), 0);
  std::sort(rows.begin(), rows.end(), [&](uint32_t a, uint32_t b) {
    for (size_t k = 0; k < n; ++k) {
      char x = text[(a + k) % n], y = text[(b + k) % n];
      if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return false;
  });
  std::string column(n, 0);
  uint32_t origin = 0;
  for (size_t i = 0; i < n; ++i) {
    column[i] = text[(rows[i] + n - 1) % n];
    if (rows[i] == 0) origin = static_cast<uint32_t>(i);
  }
  // The output is the text itself as long as it holds no four equal bytes
  // in a row (those would be read as a repeat count).
  return block_from_column(column, origin, text);
}

// Text over `letters` bytes from `first` on, with no four equal bytes in
// a row.
inline std::string runless_text(size_t n, uint32_t seed, int letters, int first = 'a') {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    char c = static_cast<char>(first + static_cast<int>(rng() % letters));
    size_t k = s.size();
    if (k >= 3 && s[k - 1] == c && s[k - 2] == c && s[k - 3] == c) continue;
    s += c;
  }
  return s;
}

// ---- Decoding by the definition ---------------------------------------

// The block's output by the plain definition: link the rows by counting,
// follow the links from the origin row n times, then expand repeat counts.
inline std::string reference_output(const std::string& column, uint32_t origin) {
  size_t n = column.size();
  std::vector<uint32_t> link(n);
  uint32_t next[256] = {}, sum = 0;
  for (unsigned char c : column) ++next[c];
  for (uint32_t& v : next) std::swap(v, sum), sum += v;
  for (uint32_t i = 0; i < n; ++i) link[next[static_cast<unsigned char>(column[i])]++] = i;
  std::string text;
  for (uint32_t row = link[origin]; text.size() < n; row = link[row]) text += column[row];
  std::string out;
  int equal = 0;
  for (size_t i = 0; i < n; ++i) {
    if (equal == 4) {
      out.append(static_cast<unsigned char>(text[i]), out.back());
      equal = 0;
      continue;
    }
    equal = (equal > 0 && text[i] == out.back()) ? equal + 1 : 1;
    out += text[i];
  }
  return out;
}

// ---- Files on disk -----------------------------------------------------

inline std::string file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The .bz2 files under `root`, recursively, sorted; none when `root` is
// not a folder.
inline std::vector<std::filesystem::path> bz2_files_under(const std::filesystem::path& root) {
  std::vector<std::filesystem::path> files;
  if (!std::filesystem::is_directory(root)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && entry.path().extension() == ".bz2")
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// ---- Worker threads -----------------------------------------------------

// Sets the bzip2 worker count for a scope, then restores the default.
class bz2_workers {
 public:
  explicit bz2_workers(unsigned n) { bz2_set_decoder_threads(n); }
  ~bz2_workers() { bz2_set_decoder_threads(0); }
  bz2_workers(const bz2_workers&) = delete;
  bz2_workers& operator=(const bz2_workers&) = delete;
};
