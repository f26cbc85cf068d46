#include "archive/checkpoint_check.h"

#include <zlib.h>

#include <algorithm>

checkpoint_check::checkpoint_check(const sonovale_io::view_checkpoint& checkpoint) {
  uint8_t position[8];
  for (int i = 0; i < 8; ++i) position[i] = static_cast<uint8_t>(checkpoint.output_position >> (8 * i));
  uLong crc = crc32(0, nullptr, 0);
  crc = crc32(crc, position, sizeof position);
  crc = crc32_z(crc, checkpoint.state.data(), checkpoint.state.size());
  crc_ = static_cast<uint32_t>(crc);
}

size_t checkpoint_check::add(const uint8_t* data, size_t count) {
  size_t n = std::min<size_t>(count, checkpoint_check_span - taken_);
  crc_ = static_cast<uint32_t>(crc32_z(crc_, data, n));
  taken_ += static_cast<uint32_t>(n);
  return n;
}

uint32_t checkpoint_check_of(const sonovale_io::view_checkpoint& checkpoint, const uint8_t* output,
                             size_t count) {
  checkpoint_check check(checkpoint);
  check.add(output, count);
  return check.value();
}
