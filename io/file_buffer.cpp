#include "io/file_buffer.h"

#include <cstring>

using namespace sonovale_io;

file_buffer::file_buffer(uint64_t initial_size, uint64_t timestamp) : timestamp_(timestamp) {
  set_content_size(initial_size);
}

bool file_buffer::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<file>(this, out, id);
}

void file_buffer::set_content_size(uint64_t size) {
  if (size > UINT32_MAX) throw plix::bad_alloc();
  uint32_t old = content_.size();
  content_.set_size(static_cast<uint32_t>(size));
  // Fresh bytes are zeroed so that stale heap contents can never be read.
  if (size > old) std::memset(content_.data() + old, 0, size - old);
}

uint32_t file_buffer::read(void* buffer, uint32_t count, abort_callback&) {
  uint64_t size = content_.size();
  if (position_ >= size) return 0;
  uint64_t available = size - position_;
  if (count > available) count = static_cast<uint32_t>(available);
  std::memcpy(buffer, content_.data() + position_, count);
  position_ += count;
  return count;
}

void file_buffer::write(const void* buffer, uint32_t count, abort_callback&) {
  uint64_t end = position_ + count;
  if (end > content_.size()) {
    if (end > UINT32_MAX) throw plix::bad_alloc();
    content_.set_size(static_cast<uint32_t>(end));
  }
  if (count != 0) std::memcpy(content_.data() + position_, buffer, count);
  position_ = end;
}

uint64_t file_buffer::get_size(abort_callback&) { return content_.size(); }

uint64_t file_buffer::get_position(abort_callback&) { return position_; }

void file_buffer::resize(uint64_t size, abort_callback&) {
  set_content_size(size);
  if (position_ > size) position_ = size;
}

void file_buffer::seek(uint64_t position, abort_callback&) {
  position_ = position <= content_.size() ? position : content_.size();
}

uint64_t file_buffer::get_timestamp(abort_callback&) { return timestamp_; }

void file_buffer::reopen(abort_callback&) { position_ = 0; }

file_ptr make_file_buffer(uint64_t size, uint64_t timestamp) {
  return file_ptr(new service_impl_t<file_buffer>(size, timestamp));
}
