// The in-memory file: a whole file held in one exactly sized heap block.
#pragma once

#include "io/byte_array.h"
#include "io/file.h"

// A `file` held wholly in memory, created as `service_impl_t<file_buffer>`
// and handed out through a service pointer. Content is at most 2^32 - 1
// bytes: larger initial sizes, resizes and writes throw plix::bad_alloc
// before anything changes. Bytes added by creation or growth are zeroed.
class file_buffer : public sonovale_io::file {
 public:
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

  // Direct access for writers that fill the content in place.
  uint8_t* content() { return content_.data(); }

 protected:
  ~file_buffer() = default;

 private:
  // Grows or shrinks the content to `size` bytes, zeroing new bytes.
  void set_content_size(uint64_t size);

  byte_array content_;
  uint64_t position_ = 0;
  uint64_t timestamp_;
};

// Makes a new in-memory file of `size` bytes with `timestamp`.
sonovale_io::file_ptr make_file_buffer(uint64_t size, uint64_t timestamp);
