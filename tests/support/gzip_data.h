// Building gzip data for tests: a member made by zlib's deflate, and an
// edit of the size a member's trailer announces; hand-written deflate
// blocks and files that end where ISA-L writes ahead; and gzip data
// inflated by zlib directly, as the module documents it.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

// `data` compressed by zlib's deflate in one call: `window_bits` as
// deflateInit2 takes them (31: a gzip member; -15: raw deflate), at `level`
// with `strategy`, ended by `flush`, which must return `result`.
inline std::string zlib_deflate(const std::string& data, int window_bits, int level, int strategy,
                                int flush, int result) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, window_bits, 8, strategy), Z_OK);
  std::string out(deflateBound(&s, data.size()) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, flush), result);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// One gzip member of `data`, made by zlib's deflate at `level` with
// `strategy` (Z_FIXED: fixed Huffman blocks only).
inline std::string gzip_member(const std::string& data, int level = 6,
                               int strategy = Z_DEFAULT_STRATEGY) {
  return zlib_deflate(data, 31, level, strategy, Z_FINISH, Z_STREAM_END);
}

// Rewrites the size field (the last four bytes, little-endian) of `gz`.
inline void set_trailer_size(std::string& gz, uint32_t size) {
  for (int i = 0; i < 4; ++i) gz[gz.size() - 4 + i] = static_cast<char>(size >> (8 * i));
}

// The content of the gzip data `gz` inflated by zlib directly, disregarding
// the size its last trailer announces: every member, those that follow
// directly too; bytes after a member that do not start 0x1F 0x8B end the
// content. False, with the content up to there, when `gz` is not gzip
// (fewer than 18 bytes or no 0x1F 0x8B at the start) or a member is bad or
// cut short.
inline bool gzip_reference_inflate(const std::string& gz, std::string& content) {
  content.clear();
  auto starts_member = [](const Bytef* p, uInt left) {
    return left >= 2 && p[0] == 0x1F && p[1] == 0x8B;
  };
  const auto* data = reinterpret_cast<const Bytef*>(gz.data());
  if (gz.size() < 18 || !starts_member(data, static_cast<uInt>(gz.size()))) return false;
  z_stream s{};
  EXPECT_EQ(inflateInit2(&s, 31), Z_OK);
  s.next_in = const_cast<Bytef*>(data);
  s.avail_in = static_cast<uInt>(gz.size());
  bool ok = false;
  for (;;) {
    Bytef chunk[65536];
    s.next_out = chunk;
    s.avail_out = sizeof chunk;
    int result = inflate(&s, Z_NO_FLUSH);
    content.append(reinterpret_cast<char*>(chunk), sizeof chunk - s.avail_out);
    if (result == Z_STREAM_END) {
      if (!starts_member(s.next_in, s.avail_in)) {
        ok = true;
        break;
      }
      inflateReset(&s);
    } else if (result != Z_OK || (s.avail_in == 0 && s.avail_out != 0)) {
      break;
    }
  }
  inflateEnd(&s);
  return ok;
}

// Deflate data written bit by bit (RFC 1951), for blocks that compressors
// never write: incomplete Huffman codes, invalid symbols.
class deflate_writer {
 public:
  // `count` bits of `value`, least significant first: header fields and
  // extra bits.
  void bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) bits_.push_back(((value >> i) & 1) != 0);
  }
  // A Huffman code of `length` bits, most significant first.
  void code(uint32_t value, int length) {
    for (int i = length - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1) != 0);
  }
  // A literal/length symbol of the fixed Huffman code (286 and 287 too).
  void fixed_symbol(int symbol) {
    if (symbol < 144)
      code(0x30 + symbol, 8);
    else if (symbol < 256)
      code(0x190 + symbol - 144, 9);
    else if (symbol < 280)
      code(symbol - 256, 7);
    else
      code(0xC0 + symbol - 280, 8);
  }
  // The header of a dynamic block after BFINAL and BTYPE: the code lengths
  // of `literals` (at least 257) and `distances` (at least 1), sent as
  // plain lengths 0 to 15 with a code-length code in which those have the
  // lengths `length_code` gives (by default 4 each, a complete code).
  void dynamic_header(const std::vector<int>& literals, const std::vector<int>& distances,
                      std::vector<int> length_code = std::vector<int>(16, 4)) {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    length_code.resize(19, 0);
    bits(static_cast<uint32_t>(literals.size() - 257), 5);
    bits(static_cast<uint32_t>(distances.size() - 1), 5);
    bits(19 - 4, 4);
    for (int symbol : order) bits(static_cast<uint32_t>(length_code[symbol]), 3);
    std::vector<uint32_t> codes = canonical_codes(length_code);
    for (const auto* lengths : {&literals, &distances}) {
      for (int length : *lengths) code(codes[length], length_code[length]);
    }
  }
  std::string data() const {
    std::string out((bits_.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits_.size(); ++i) {
      if (bits_[i]) out[i / 8] = static_cast<char>(out[i / 8] | (1 << (i % 8)));
    }
    return out;
  }

  // The canonical Huffman codes of `lengths` (RFC 1951 section 3.2.2).
  static std::vector<uint32_t> canonical_codes(const std::vector<int>& lengths) {
    int count[16] = {};
    for (int length : lengths) ++count[length];
    count[0] = 0;
    uint32_t next[16] = {};
    for (int length = 1, code = 0; length < 16; ++length) {
      code = (code + count[length - 1]) << 1;
      next[length] = static_cast<uint32_t>(code);
    }
    std::vector<uint32_t> codes(lengths.size());
    for (size_t i = 0; i < lengths.size(); ++i) {
      if (lengths[i] != 0) codes[i] = next[lengths[i]]++;
    }
    return codes;
  }

 private:
  std::vector<bool> bits_;
};

// Raw deflate data of `data` in blocks that are not final and end on a
// byte boundary (zlib's full flush), so that a written block can follow.
inline std::string deflate_blocks(const std::string& data) {
  return zlib_deflate(data, -15, 6, Z_DEFAULT_STRATEGY, Z_FULL_FLUSH, Z_OK);
}

// A gzip member around the raw deflate data `deflate`, with a trailer that
// matches `content`.
inline std::string gzip_wrap(const std::string& deflate, const std::string& content) {
  std::string gz("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  gz += deflate;
  uLong crc =
      crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size()));
  for (int i = 0; i < 4; ++i) gz += static_cast<char>(crc >> (8 * i));
  for (int i = 0; i < 4; ++i) gz += static_cast<char>(content.size() >> (8 * i));
  return gz;
}

// A gzip file whose content ends where ISA-L writes ahead of its output.
struct gzip_tail_case {
  const char* what;
  std::string gz;
  std::string content;
};

// Files of `text` that end in each way ISA-L's last output can: one
// member, an empty final block (as a flush, then finish, writes it), a
// one-byte last member.
inline std::vector<gzip_tail_case> gzip_tail_cases(const std::string& text) {
  deflate_writer empty_last;
  empty_last.bits(1, 1), empty_last.bits(1, 2), empty_last.fixed_symbol(256);
  return {
      {"one member", gzip_member(text), text},
      {"an empty last block", gzip_wrap(deflate_blocks(text) + empty_last.data(), text), text},
      {"a one-byte last member", gzip_member(text) + gzip_member("!"), text + "!"},
  };
}
