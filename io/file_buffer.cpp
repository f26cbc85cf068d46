#include "io/file_buffer.h"

#include <cstring>

using namespace sonovale_io;

file_buffer::file_buffer(uint64_t initial_size, uint64_t timestamp) : timestamp_(timestamp) {
  if (initial_size > max_size) throw plix::bad_alloc();
  storage_.grow(initial_size, 0);
  storage_.zero(0, initial_size);
  size_ = initial_size;
}

bool file_buffer::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<file>(this, out, id);
}

void file_buffer::make_room(uint64_t end) {
  uint64_t capacity = storage_.capacity();
  if (end <= capacity) return;
  // Doubling keeps a series of small writes at amortised constant cost.
  // Past what the system grants, only what is needed is asked for.
  uint64_t doubled = capacity < max_size / 2 ? capacity * 2 : max_size;
  if (doubled > end) {
    try {
      storage_.grow(doubled, size_);
      return;
    } catch (const plix::bad_alloc&) {
    }
  }
  storage_.grow(end, size_);
}

void file_buffer::reserve(uint64_t capacity) {
  if (capacity > max_size) throw plix::bad_alloc();
  storage_.grow(capacity, size_);
}

uint8_t* file_buffer::prepare(uint32_t count) {
  uint64_t end = position_ + count;
  if (end > max_size) throw plix::bad_alloc();
  make_room(end);
  storage_.mark_written(end);
  prepared_end_ = end;
  return storage_.data() + position_;
}

void file_buffer::commit(uint32_t count) {
  uint64_t end = position_ + count;
  if (end > prepared_end_) end = prepared_end_ > position_ ? prepared_end_ : position_;
  prepared_end_ = 0;
  position_ = end;
  if (end > size_) size_ = end;
}

void file_buffer::shrink_to_fit() {
  prepared_end_ = 0;
  storage_.shrink(size_);
}

uint32_t file_buffer::read(void* buffer, uint32_t count, abort_callback&) {
  if (position_ >= size_) return 0;
  uint64_t available = size_ - position_;
  if (count > available) count = static_cast<uint32_t>(available);
  if (count != 0) std::memcpy(buffer, storage_.data() + position_, count);
  position_ += count;
  return count;
}

void file_buffer::write(const void* buffer, uint32_t count, abort_callback&) {
  if (count == 0) return;
  std::memcpy(prepare(count), buffer, count);
  commit(count);
}

uint64_t file_buffer::get_size(abort_callback&) {
  return size_;
}

uint64_t file_buffer::get_position(abort_callback&) {
  return position_;
}

void file_buffer::resize(uint64_t size, abort_callback&) {
  if (size > max_size) throw plix::bad_alloc();
  prepared_end_ = 0;
  if (size > size_) {
    storage_.grow(size, size_);
    // Growth reads as zero, so stale bytes can never be read.
    storage_.zero(size_, size);
  } else {
    storage_.shrink(size);
  }
  size_ = size;
  if (position_ > size) position_ = size;
}

void file_buffer::seek(uint64_t position, abort_callback&) {
  position_ = position <= size_ ? position : size_;
}

uint64_t file_buffer::get_timestamp(abort_callback&) {
  return timestamp_;
}

void file_buffer::reopen(abort_callback&) {
  position_ = 0;
}

file_ptr make_file_buffer(uint64_t size, uint64_t timestamp) {
  return file_ptr(new service_impl_t<file_buffer>(size, timestamp));
}
