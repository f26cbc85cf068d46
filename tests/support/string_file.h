// Files for decoder tests: an in-memory input holding given bytes, and an
// output that appends to a string.
#pragma once

#include <string>

#include "io/file_buffer.h"

// A new in-memory file holding `content`, at position 0, stamped with
// `timestamp`.
inline sonovale_io::file_ptr memory_file(const std::string& content, uint64_t timestamp = 0) {
  abort_callback_dummy abort;
  sonovale_io::file_ptr f = make_file_buffer(0, timestamp);
  f->write(content.data(), static_cast<uint32_t>(content.size()), abort);
  f->reopen(abort);
  return f;
}

// An output file that appends to a string with the string's own growth.
// The in-memory file reallocates at every write, which under the address
// sanitizer copies the whole content each time; outputs of tens of
// megabytes would take minutes. Create it with new service_impl_t<>.
class string_file : public sonovale_io::file {
 public:
  std::string content;

  bool query_class(service_ptr_t<service_base>&, const GUID&) override { return false; }
  uint32_t read(void*, uint32_t, abort_callback&) override { return 0; }
  void write(const void* buffer, uint32_t count, abort_callback&) override {
    content.append(static_cast<const char*>(buffer), count);
  }
  uint64_t get_size(abort_callback&) override { return content.size(); }
  uint64_t get_position(abort_callback&) override { return content.size(); }
  void resize(uint64_t, abort_callback&) override {}
  void seek(uint64_t, abort_callback&) override {}
  bool can_seek() override { return false; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return true; }
  void on_hint(void*) override {}
  uint64_t get_timestamp(abort_callback&) override { return 0; }
  void reopen(abort_callback&) override {}
  bool is_remote() override { return false; }
};
