#include "formats/bzip2/bz2_bit_input.h"

#include <algorithm>

#include "io/exceptions.h"

namespace {

uint32_t low_mask(uint32_t n) {
  return static_cast<uint32_t>((uint64_t{1} << n) - 1);
}

// Makes the next span current; false at the end of the input.
bool next_span(bz2_bit_input& in) {
  const uint8_t* data = nullptr;
  uint32_t got = in.source->next(data);
  if (got == 0) return false;
  in.data = data;
  in.count = static_cast<int32_t>(got);
  in.pos = 0;
  in.span_end += got;
  return true;
}

}  // namespace

uint32_t bz2_file_source::next(const uint8_t*& data) {
  uint32_t got = file_->read(chunk_, bz2_chunk_size, *abort_);
  data = chunk_;
  return std::min(got, bz2_chunk_size);
}

uint32_t bz2_memory_source::next(const uint8_t*& data) {
  data = data_;
  uint32_t size = size_;
  size_ = 0;
  return size;
}

void bz2_bits_start(bz2_bit_input& in, bz2_byte_source& source, uint64_t offset,
                    uint32_t skip_bits) {
  in = bz2_bit_input{};
  in.source = &source;
  in.span_end = offset;
  if (skip_bits != 0) bz2_read_bits(in, skip_bits);
}

void bz2_refill(bz2_bit_input& in) {
  if (!next_span(in)) throw sonovale_io::exception_io_data_truncation();
}

uint32_t bz2_read_bits(bz2_bit_input& in, uint32_t n) {
  uint64_t high = 0;
  while (in.bit_count < n) {
    if (in.pos == in.count) bz2_refill(in);
    // Only reads of more than 24 bits get here with 24 bits held: set them
    // aside so that the next byte fits.
    if (in.bit_count >= 24) {
      high = (high << in.bit_count) | (in.bit_buffer & low_mask(in.bit_count));
      n -= in.bit_count;
      in.bit_count = 0;
    }
    in.bit_buffer = (in.bit_buffer << 8) | in.data[in.pos++];
    in.bit_count += 8;
  }
  in.bit_count -= n;
  uint32_t value = (in.bit_buffer >> in.bit_count) & low_mask(n);
  return static_cast<uint32_t>((high << n) | value);
}

int bz2_next_byte(bz2_bit_input& in) {
  if (in.bit_count >= 8) {
    in.bit_count -= 8;
    return static_cast<int>((in.bit_buffer >> in.bit_count) & 0xFF);
  }
  if (in.pos == in.count && !next_span(in)) return -1;
  return in.data[in.pos++];
}
