// Little-endian fields: the byte order of gzip trailers, xz and zstd
// headers, the configuration stream's record sizes and the checkpoint
// states the view formats lay out.
#pragma once

#include <cstdint>
#include <vector>

// The `bytes` (1 to 8) bytes at `p` as a number, least significant first.
constexpr uint64_t load_le(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{p[i]} << (8 * i);
  return value;
}

// The four bytes at `p` as a number, least significant first.
constexpr uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(load_le(p, 4));
}

// Stores the low `bytes` (1 to 8) bytes of `value` at `p`, least
// significant first.
constexpr void store_le(uint8_t* p, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Appends the low `bytes` (1 to 8) bytes of `value` to `out`, least
// significant first. Throws what growing `out` throws (std::bad_alloc).
inline void append_le(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
