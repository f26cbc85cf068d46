#include "io/byte_array.h"

#include <cstdlib>

#include "io/exceptions.h"

void* guarded_reallocate(void* block, uint64_t count, uint32_t element_size) {
  uint64_t bytes = count * element_size;
  if (bytes > UINT32_MAX || (element_size != 0 && bytes / element_size != count))
    throw plix::bad_alloc();
  if (bytes == 0) {
    std::free(block);
    return nullptr;
  }
  void* grown = std::realloc(block, bytes);
  if (grown == nullptr) throw plix::bad_alloc();
  return grown;
}

byte_array::~byte_array() {
  size_ = 0;
  std::free(data_);
}

void byte_array::reallocate(uint32_t n) {
  if (n == allocated_) return;
  data_ = static_cast<uint8_t*>(guarded_reallocate(data_, n, 1));
  allocated_ = n;
}

void byte_array::set_size(uint32_t n) {
  if (n > allocated_) {
    reallocate(n);
    size_ = n;
    return;
  }
  size_ = n;
  try {
    reallocate(n);
  } catch (const plix::bad_alloc&) {
    // Shrinking is an economy, not a need: keep the larger block.
  }
}
