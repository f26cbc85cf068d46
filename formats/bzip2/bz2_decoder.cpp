#include "formats/bzip2/bz2_decoder.h"

#include <new>

#include "formats/bzip2/bz2_parallel.h"
#include "io/exceptions.h"

namespace {

// "BZh1" to "BZh9" read as one big-endian number.
constexpr uint32_t header_first = 0x425A6831;
constexpr uint32_t header_last = 0x425A6839;

// The block decoder is sized when a record is read, so that a stream
// whose blocks are all decoded ahead never needs it.
void start_stream(bz2_stream_walk& w, uint32_t digit) {
  w.digit = digit;
  w.combined_crc = 0;
}

}  // namespace

void bz2_walk_create(bz2_stream_walk& w) {
  w.block.reset(new (std::nothrow) bz2_block());
  if (!w.block) throw plix::bad_alloc();
}

int32_t bz2_walk_stream_header(bz2_stream_walk& w) {
  w.record_position = bz2_bit_position(w.bits);
  uint32_t header = bz2_read_bits(w.bits, 32);
  if (header < header_first || header > header_last) return bz2_not_bzip2_data;
  start_stream(w, header - header_first + 1);
  return bz2_ok;
}

void bz2_walk_resume(bz2_stream_walk& w, uint32_t digit, uint32_t combined_crc) {
  start_stream(w, digit);
  w.combined_crc = combined_crc;
}

int32_t bz2_walk_record(bz2_stream_walk& w) {
  w.record_position = bz2_bit_position(w.bits);
  w.decoded = nullptr;
  if (w.pool != nullptr) {
    w.decoded = w.pool->take(w.bits, w.digit * bz2_block_size_unit);
    if (w.decoded != nullptr) {
      w.block->stored_crc = w.decoded->stored_crc;
      return bz2_ok;
    }
  }
  bz2_block_set_capacity(*w.block, w.digit);
  return bz2_decode_block(*w.block, w.bits);
}

void bz2_walk_expand_start(bz2_expander& e, const bz2_stream_walk& w) {
  const bz2_decoded_block* d = w.decoded;
  if (d == nullptr) {
    bz2_expand_start(e, w.block->text.data(), w.block->size);
  } else if (d->bytes != nullptr) {
    bz2_copy_start(e, d->bytes, static_cast<uint32_t>(d->byte_count), d->crc);
  } else {
    bz2_expand_start(e, d->text, d->size);
  }
}

int32_t bz2_walk_block_done(bz2_stream_walk& w, uint32_t crc) {
  w.combined_crc = bz2_combine_crc(w.combined_crc, crc);
  return crc == w.block->stored_crc ? bz2_ok : bz2_crc_mismatch;
}

bool bz2_walk_next_stream(bz2_stream_walk& w) {
  bz2_align_to_byte(w.bits);
  uint64_t position = bz2_bit_position(w.bits);
  uint32_t header = 0;
  for (int i = 0; i < 4; ++i) {
    int byte = bz2_next_byte(w.bits);
    if (byte < 0) return false;
    header = header << 8 | static_cast<uint32_t>(byte);
    // Stop at the first byte that cannot continue a header.
    if ((header_first >> (24 - 8 * i)) != header && i < 3) return false;
  }
  if (header < header_first || header > header_last) return false;
  start_stream(w, header - header_first + 1);
  w.record_position = position;
  return true;
}

const char* bz2_error_text(int32_t code) {
  switch (code) {
    case bz2_not_bzip2_data: return "Not BZIP2 data";
    case bz2_data_error: return "Data error";
    case bz2_obsolete_input: return "Obsolete input";
    default: return nullptr;
  }
}

void bz2_throw(int32_t code) {
  throw sonovale_io::exception_io_data(bz2_error_text(code));
}
