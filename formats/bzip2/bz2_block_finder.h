// Finds where bzip2 blocks may start: every bit position at which the
// 48-bit block magic appears. Compressed data can hold the magic by chance,
// so a position found is only a candidate; it counts as a block start once
// the block before it is known to end exactly there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

class bz2_block_finder {
 public:
  // Positions count in bits from byte `offset` of the input's coordinates;
  // the first byte scanned is that byte.
  explicit bz2_block_finder(uint64_t offset = 0) : next_byte_(offset), first_byte_(offset) {}

  // Scans the next `count` bytes, which follow those scanned before, and
  // appends to `found`, in increasing order, the position of every magic
  // whose last bit lies in them.
  void scan(const uint8_t* data, size_t count, std::deque<uint64_t>& found);

 private:
  uint64_t window_ = 0;  // the last eight bytes scanned, the latest lowest
  uint64_t next_byte_;   // the position of the next byte to scan
  uint64_t first_byte_;
};
