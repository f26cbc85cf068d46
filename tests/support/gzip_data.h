// Building gzip data for tests: a member made by zlib's deflate, and an
// edit of the size a member's trailer announces.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>

// One gzip member of `data`, made by zlib's deflate at `level`.
inline std::string gzip_member(const std::string& data, int level = 6) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
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
