// The storage under the in-memory file: a block whose capacity is kept apart
// from the bytes in use, on the heap while small and, from 2 MiB up, in an
// anonymous mapping aligned to 2 MiB and advised for transparent huge pages.
//
// A large file filled on fresh 4 KiB pages pays one page fault per 4 KiB,
// which costs about as much as inflating the data; on huge pages it pays one
// per 2 MiB. Where the kernel's setting is "always" the alignment alone lets
// it use huge pages; where it is "never" the advice is ignored and the
// mapping behaves as the heap's own large blocks do.
//
// Fresh anonymous pages read as zero. The storage remembers from which
// offset its bytes are still fresh, so that growth that must read as zero
// writes only the bytes that may have been used before.
#pragma once

#include <cstdint>

// Not copyable; destruction releases the block. Not safe for concurrent use.
class file_buffer_storage {
 public:
  // Mappings come in multiples of this size, at addresses aligned to it.
  static constexpr uint64_t huge_page_size = uint64_t{2} << 20;

  file_buffer_storage() = default;
  file_buffer_storage(const file_buffer_storage&) = delete;
  file_buffer_storage& operator=(const file_buffer_storage&) = delete;
  ~file_buffer_storage();

  // The block; null while the capacity is 0. Valid until the next grow or
  // shrink.
  uint8_t* data() const { return data_; }
  uint64_t capacity() const { return capacity_; }
  // True when the block is a mapping rather than a heap block.
  bool mapped() const { return mapped_; }

  // Makes the capacity at least `n` bytes, keeping the first `keep` bytes
  // (keep <= capacity). A heap block becomes exactly `n` bytes; a mapping
  // is `n` rounded up to huge_page_size. Throws plix::bad_alloc, changing
  // nothing, when the memory cannot be had (in a 32-bit process, never
  // within 4 MiB of 4 GiB).
  void grow(uint64_t n, uint64_t keep);

  // Releases the capacity beyond `n` bytes (rounded up as grow does),
  // keeping the first `n`; a mapping becomes a heap block again when `n`
  // falls below the mapping threshold. An economy, not a need: when the
  // system refuses, the larger block stays. Never throws.
  void shrink(uint64_t n);

  // Makes bytes [from, to) read as zero, writing only those that are not
  // fresh; afterwards none below `to` counts as fresh. Precondition:
  // from <= to <= capacity.
  void zero(uint64_t from, uint64_t to);

  // Records that the bytes below `end` may be written from now on, so they
  // no longer count as fresh. Precondition: end <= capacity.
  void mark_written(uint64_t end) {
    if (end > fresh_from_) fresh_from_ = end;
  }

 private:
  // Moves a mapping to a larger one, keeping its pages where the system can.
  void grow_mapping(uint64_t capacity, uint64_t keep);
  // Trims a mapping to `capacity` bytes (a multiple of huge_page_size).
  void trim_mapping(uint64_t capacity);
  void release();

  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
  // Bytes [fresh_from_, capacity_) have not been handed out since the
  // kernel zeroed them. Heap blocks have no fresh bytes.
  uint64_t fresh_from_ = 0;
  bool mapped_ = false;
};

// The capacity from which storage is a mapping rather than a heap block,
// 2 MiB by default. Tests lower it to run the same cases on both kinds of
// storage; a block keeps its kind until it next grows or shrinks. Safe to
// call from any thread.
void set_file_buffer_mapping_threshold(uint64_t bytes);
uint64_t file_buffer_mapping_threshold();
