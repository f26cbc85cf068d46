// The in-memory file: a whole file held in one block that grows with it.
#pragma once

#include "io/file.h"
#include "io/file_buffer_storage.h"

// A `file` held wholly in memory, created as `service_impl_t<file_buffer>`
// and handed out through a service pointer. Content is at most max_size
// bytes: larger initial sizes, resizes and writes throw plix::bad_alloc
// before anything changes, as does memory that cannot be had. Bytes added
// by creation or resize read as zero.
//
// The storage keeps a capacity apart from the size. Writes past the
// capacity grow it geometrically, so a series of small writes costs
// amortised constant time per byte. Resize grows it to exactly the new
// size when it must grow, and otherwise releases what lies beyond the new
// size (a failed shrink keeps the block). Writers that fill the content
// in place reserve capacity and fill it through prepare and commit, and no
// byte they are about to overwrite is zeroed first.
class file_buffer : public sonovale_io::file {
 public:
  static constexpr uint64_t max_size = UINT32_MAX;

  // Throws plix::bad_alloc when `initial_size` cannot be held.
  file_buffer(uint64_t initial_size, uint64_t timestamp);
  file_buffer(const file_buffer&) = delete;
  file_buffer& operator=(const file_buffer&) = delete;

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;

  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override;
  void write(const void* buffer, uint32_t count, abort_callback& abort) override;
  uint64_t get_size(abort_callback& abort) override;
  uint64_t get_position(abort_callback& abort) override;
  void resize(uint64_t size, abort_callback& abort) override;
  void seek(uint64_t position, abort_callback& abort) override;
  bool can_seek() override { return true; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return true; }
  void on_hint(void*) override {}
  uint64_t get_timestamp(abort_callback& abort) override;
  void reopen(abort_callback& abort) override;
  bool is_remote() override { return false; }

  // The first byte of the content, for reading or overwriting it in place;
  // null while nothing is stored. Valid until the next call that changes
  // the size or the capacity.
  uint8_t* content() { return storage_.data(); }

  // Bytes the file can hold without growing; never less than the size.
  uint64_t capacity() const { return storage_.capacity(); }

  // Makes the capacity at least `capacity` bytes; size, position and
  // content stay. Throws plix::bad_alloc, changing nothing, beyond
  // max_size or when the memory cannot be had.
  void reserve(uint64_t capacity);

  // Writing in place, the counterpart of `write` without the copy: returns
  // storage for `count` bytes at the position, growing the capacity as
  // write does (and throwing plix::bad_alloc as it does, changing nothing).
  // What the bytes there hold is unspecified: content about to be
  // overwritten, or storage past the size. The pointer is valid until the
  // next call on the file; commit ends the write.
  uint8_t* prepare(uint32_t count);

  // Makes the first `count` bytes handed out by the last prepare part of
  // the file, as a write of them would: the position moves past them and
  // the size grows to the position. Precondition: the caller has stored
  // all `count` bytes, and no other call came between prepare and commit.
  // A count reaching past the prepared bytes is cut to them.
  void commit(uint32_t count);

  // Releases the capacity beyond the size. A failure keeps the block.
  void shrink_to_fit();

 protected:
  ~file_buffer() = default;

 private:
  // Makes the capacity reach `end` (<= max_size), at least doubling it.
  void make_room(uint64_t end);

  file_buffer_storage storage_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  uint64_t prepared_end_ = 0;  // the end of the bytes the last prepare handed out
  uint64_t timestamp_;
};

// Makes a new in-memory file of `size` bytes with `timestamp`.
sonovale_io::file_ptr make_file_buffer(uint64_t size, uint64_t timestamp);
