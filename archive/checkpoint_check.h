// The check a checkpoint carries on disk: a CRC-32 of its output position
// (8 bytes, little-endian), its state, and the first bytes a pass started
// there yields (checkpoint_check_span, or fewer where the content ends
// first). A checkpoint read from disk is used only once a pass from it has
// yielded the same check, so that a damaged or foreign record never places
// a byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/view_format.h"

constexpr uint32_t checkpoint_check_span = 64 << 10;

// Builds the check of one checkpoint from the output that follows it.
class checkpoint_check {
 public:
  explicit checkpoint_check(const sonovale_io::view_checkpoint& checkpoint);

  // Takes up to `count` of the next output bytes, as many as the span
  // still wants; returns how many it took.
  size_t add(const uint8_t* data, size_t count);
  // True once the span is complete.
  bool complete() const { return taken_ == checkpoint_check_span; }
  uint32_t value() const { return crc_; }

 private:
  uint32_t crc_;
  uint32_t taken_ = 0;
};

// The check of `checkpoint` followed by `output` (its first bytes).
uint32_t checkpoint_check_of(const sonovale_io::view_checkpoint& checkpoint, const uint8_t* output,
                             size_t count);
