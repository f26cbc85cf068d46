#include "io/file_buffer_storage.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "io/exceptions.h"

namespace {

constexpr uint64_t huge = file_buffer_storage::huge_page_size;

std::atomic<uint64_t> mapping_threshold{huge};

// The largest block asked of the system: a mapping is rounded up to 2 MiB
// and asked for with 2 MiB more, all of which must fit size_t. In a 32-bit
// process a size near 4 GiB would otherwise wrap to a small one, and the
// block would be far smaller than its recorded capacity.
constexpr uint64_t max_block = uint64_t{SIZE_MAX} - 2 * huge;

uint64_t round_to_huge(uint64_t n) {
  return (n + huge - 1) & ~(huge - 1);
}

// A fresh mapping of `bytes` (a multiple of 2 MiB) that starts at a 2 MiB
// boundary, advised for huge pages; null when the system refuses. The
// kernel places a mapping at any page, so 2 MiB more are asked for and the
// unaligned ends given back: a huge page can only back an aligned range.
uint8_t* map_aligned(uint64_t bytes) {
  void* block =
      ::mmap(nullptr, bytes + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  auto* start = static_cast<uint8_t*>(block);
  uint64_t head = (huge - reinterpret_cast<uintptr_t>(start) % huge) % huge;
  if (head != 0) ::munmap(start, head);
  ::munmap(start + head + bytes, huge - head);
  // Advice only: a kernel without transparent huge pages refuses it, and
  // the mapping then works on ordinary pages.
  ::madvise(start + head, bytes, MADV_HUGEPAGE);
  return start + head;
}

}  // namespace

void set_file_buffer_mapping_threshold(uint64_t bytes) {
  mapping_threshold.store(bytes, std::memory_order_relaxed);
}

uint64_t file_buffer_mapping_threshold() {
  return mapping_threshold.load(std::memory_order_relaxed);
}

file_buffer_storage::~file_buffer_storage() {
  release();
}

void file_buffer_storage::release() {
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  capacity_ = 0;
  fresh_from_ = 0;
  mapped_ = false;
}

void file_buffer_storage::grow(uint64_t n, uint64_t keep) {
  if (n <= capacity_) return;
  if (n > max_block) throw plix::bad_alloc();
  if (mapped_ || n >= file_buffer_mapping_threshold()) {
    if (mapped_) {
      grow_mapping(round_to_huge(n), keep);
      return;
    }
    uint8_t* block = map_aligned(round_to_huge(n));
    if (block == nullptr) throw plix::bad_alloc();
    if (keep != 0) std::memcpy(block, data_, keep);
    std::free(data_);
    data_ = block;
    capacity_ = round_to_huge(n);
    fresh_from_ = keep;
    mapped_ = true;
    return;
  }
  // Below the threshold, and so a heap block: a mapping is never smaller.
  void* block = std::realloc(data_, n);
  if (block == nullptr) throw plix::bad_alloc();
  data_ = static_cast<uint8_t*>(block);
  capacity_ = n;
  fresh_from_ = n;
}

void file_buffer_storage::grow_mapping(uint64_t capacity, uint64_t keep) {
  // In place when the addresses after the block are free.
  if (::mremap(data_, capacity_, capacity, 0) != MAP_FAILED) {
    capacity_ = capacity;
    return;
  }
  uint8_t* block = map_aligned(capacity);
  if (block == nullptr) throw plix::bad_alloc();
  // Moving the pages into the head of the new mapping keeps them, huge
  // pages included, without copying a byte. The new range is aligned as
  // the old one is, so huge pages move whole.
  if (::mremap(data_, capacity_, capacity_, MREMAP_MAYMOVE | MREMAP_FIXED, block) == MAP_FAILED) {
    // A refused move may already have unmapped part of the target: start
    // from a new mapping and copy.
    ::munmap(block, capacity);
    block = map_aligned(capacity);
    if (block == nullptr) throw plix::bad_alloc();
    if (keep != 0) std::memcpy(block, data_, keep);
    ::munmap(data_, capacity_);
    fresh_from_ = keep;
  }
  data_ = block;
  capacity_ = capacity;
}

void file_buffer_storage::shrink(uint64_t n) {
  if (n >= capacity_) return;
  if (n == 0) {
    release();
    return;
  }
  if (!mapped_) {
    void* block = std::realloc(data_, n);
    if (block == nullptr) return;
    data_ = static_cast<uint8_t*>(block);
    capacity_ = n;
    fresh_from_ = n;
    return;
  }
  if (n < file_buffer_mapping_threshold()) {
    void* block = std::malloc(n);
    if (block != nullptr) {
      std::memcpy(block, data_, n);
      ::munmap(data_, capacity_);
      data_ = static_cast<uint8_t*>(block);
      capacity_ = n;
      fresh_from_ = n;
      mapped_ = false;
      return;
    }
  }
  trim_mapping(round_to_huge(n));
}

void file_buffer_storage::trim_mapping(uint64_t capacity) {
  if (capacity >= capacity_) return;
  if (::munmap(data_ + capacity, capacity_ - capacity) != 0) return;
  capacity_ = capacity;
  if (fresh_from_ > capacity) fresh_from_ = capacity;
}

void file_buffer_storage::zero(uint64_t from, uint64_t to) {
  uint64_t written_end = to < fresh_from_ ? to : fresh_from_;
  if (from < written_end) std::memset(data_ + from, 0, written_end - from);
  mark_written(to);
}
