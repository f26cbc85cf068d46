#include "io/file.h"

namespace sonovale_io {

void stream_reader::read_object(void* buffer, uint32_t count, abort_callback& abort) {
  if (read(buffer, count, abort) != count) throw exception_io_data_truncation();
}

uint64_t stream_reader::skip(uint64_t count, abort_callback& abort) {
  return skip_by_reading(count, abort);
}

void stream_reader::skip_object(uint64_t count, abort_callback& abort) {
  if (skip(count, abort) != count) throw exception_io_data_truncation();
}

uint64_t stream_reader::skip_by_reading(uint64_t count, abort_callback& abort) {
  uint8_t scratch[256];
  uint64_t total = 0;
  while (count != 0) {
    uint32_t chunk = count < sizeof scratch ? static_cast<uint32_t>(count) : sizeof scratch;
    uint32_t got = read(scratch, chunk, abort);
    if (got > chunk) got = chunk;  // a reader that claims more than it was asked
    total += got;
    count -= got;
    if (got < chunk) break;
  }
  return total;
}

void file::seek_relative(int64_t offset, seek_origin origin, abort_callback& abort) {
  uint64_t base;
  switch (origin) {
    case seek_from_beginning: base = 0; break;
    case seek_from_current: base = get_position(abort); break;
    case seek_from_eof:
      base = get_size(abort);
      if (base == unknown_size) throw exception_io_no_length();
      break;
    default: throw exception_io_data();
  }
  uint64_t target = base + static_cast<uint64_t>(offset);
  // A target before 0 wraps around; clamp it to the end rather than trust it.
  if (offset < 0 && static_cast<uint64_t>(-(offset + 1)) + 1 > base) target = UINT64_MAX;
  seek(target, abort);
}

uint64_t file::skip(uint64_t count, abort_callback& abort) {
  if (count <= 1024 || !can_seek()) return skip_by_reading(count, abort);
  uint64_t size = get_size(abort);
  if (size == unknown_size) return skip_by_reading(count, abort);
  uint64_t position = get_position(abort);
  uint64_t left = position < size ? size - position : 0;
  uint64_t n = count < left ? count : left;
  seek(position + n, abort);
  return n;
}

}  // namespace sonovale_io
