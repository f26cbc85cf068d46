#include "archive/stream_input.h"

#include <cstring>

using namespace sonovale_io;

stream_input::stream_input(file_ptr source, uint32_t capacity) : source_(std::move(source)) {
  buffer_.set_size(capacity < 16 ? 16 : capacity);
}

void stream_input::seek(uint64_t offset, abort_callback& abort) {
  source_->seek(offset, abort);
  start_ = end_ = 0;
  file_offset_ = offset;
}

bool stream_input::ensure(size_t n, abort_callback& abort) {
  if (available() >= n) return true;
  if (start_ != 0) {
    std::memmove(buffer_.data(), buffer_.data() + start_, available());
    end_ -= start_;
    start_ = 0;
  }
  while (end_ < n) {
    uint32_t got = source_->read(buffer_.data() + end_, buffer_.size() - end_, abort);
    if (got == 0) return false;
    end_ += got;
    file_offset_ += got;
  }
  return true;
}
