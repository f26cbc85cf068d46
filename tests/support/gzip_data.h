// Building gzip data for tests: a member made by zlib's deflate, and an
// edit of the size a member's trailer announces; and gzip data inflated by
// zlib directly, as the module documents it.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>

// One gzip member of `data`, made by zlib's deflate at `level` with
// `strategy` (Z_FIXED: fixed Huffman blocks only).
inline std::string gzip_member(const std::string& data, int level = 6,
                               int strategy = Z_DEFAULT_STRATEGY) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, 31, 8, strategy), Z_OK);
  std::string out(deflateBound(&s, data.size()) + 32, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
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
