// Growable heap storage shared by strings and buffers.
#pragma once

#include <cstdint>

// Reallocates `block` to `count` * `element_size` bytes, keeping the first
// bytes of the old block. A product that overflows 32 bits, or memory that
// cannot be had, throws plix::bad_alloc and leaves `block` intact. A request
// for 0 bytes frees the block and returns null.
void* guarded_reallocate(void* block, uint64_t count, uint32_t element_size);

// A heap block with a size in use (`size`) and a block size (`allocated`).
// Not copyable; destruction releases the block.
class byte_array {
 public:
  byte_array() = default;
  byte_array(const byte_array&) = delete;
  byte_array& operator=(const byte_array&) = delete;
  ~byte_array();

  uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  uint32_t allocated() const { return allocated_; }

  // Makes the block exactly `n` bytes, keeping min(n, old) bytes. Nothing
  // happens when `n` equals `allocated`. Throws plix::bad_alloc on failure,
  // leaving the array as it was.
  void reallocate(uint32_t n);

  // Exact sizing: afterwards size = allocated = n. A failed growth throws
  // and leaves the array as it was; a failed shrink keeps the larger block
  // (size is still n) and does not throw.
  void set_size(uint32_t n);

  // Sets the size in use without touching the block; n <= allocated.
  void set_size_in_use(uint32_t n) { size_ = n; }

 private:
  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  uint32_t allocated_ = 0;
};
