#include "formats/bzip2/bz2_decoder.h"

#include <new>

#include "formats/bzip2/bz2_parallel.h"
#include "io/exceptions.h"

using sonovale_io::file_ptr;

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

// Decoding one file from start to end: the walk, the block being expanded,
// and the sticky outcome of the current stream.
struct whole_decoder {
  bz2_stream_walk walk;
  bz2_expander expander;
  bool in_block = false;
  // bz2_ok while the stream goes on; then bz2_end_of_stream or the error.
  int32_t status = bz2_ok;
};

// Places up to 4096 decoded bytes of the current stream in `buffer`, or
// points `data` at them where a worker left them, and returns their
// number, which is less than 4096 only at the stream's end, with status
// bz2_end_of_stream. Returns a negative result code once the stream has
// ended or failed; the bytes of a call that fails are not delivered.
int32_t read_chunk(whole_decoder& d, uint8_t* buffer, const uint8_t*& data) {
  if (d.status != bz2_ok) return d.status;
  data = buffer;
  uint8_t* out = buffer;
  uint8_t* const out_end = buffer + bz2_chunk_size;
  for (;;) {
    if (d.in_block) {
      if (out == buffer) {
        const uint8_t* copied = bz2_pass_copied(d.expander, bz2_chunk_size);
        if (copied != nullptr) {
          data = copied;
          return static_cast<int32_t>(bz2_chunk_size);
        }
      }
      out = bz2_expand(d.expander, out, out_end);
      if (!d.expander.finished) return static_cast<int32_t>(bz2_chunk_size);
      d.in_block = false;
      int32_t checked = bz2_walk_block_done(d.walk, bz2_expanded_crc(d.expander));
      if (checked != bz2_ok) return d.status = checked;
    }
    int32_t result = bz2_walk_record(d.walk);
    if (result != bz2_ok) {
      d.status = result;
      return result == bz2_end_of_stream ? static_cast<int32_t>(out - buffer) : result;
    }
    bz2_walk_expand_start(d.expander, d.walk);
    d.in_block = true;
  }
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

namespace {

// Decodes every stream that `source` holds, reading blocks ahead with
// `pool` when not null.
void decode_streams(bz2_byte_source& source, bz2_block_pool* pool, const file_ptr& output,
                    abort_callback& abort) {
  whole_decoder d;
  bz2_walk_create(d.walk);
  d.walk.pool = pool;
  bz2_bits_start(d.walk.bits, source);
  int32_t outcome = bz2_walk_stream_header(d.walk);
  uint8_t chunk[bz2_chunk_size];
  const uint8_t* data = chunk;
  uint64_t unpolled = 0;
  while (outcome == bz2_ok) {
    int32_t got;
    while ((got = read_chunk(d, chunk, data)) > 0) {
      output->write(data, static_cast<uint32_t>(got), abort);
      // Writes may ignore the abort (an in-memory file does), and a few
      // bytes of input can expand to gigabytes.
      unpolled += static_cast<uint32_t>(got);
      if (unpolled >= abort_poll_bytes) {
        unpolled = 0;
        check_aborted(abort);
      }
    }
    outcome = d.status;
    if (outcome == bz2_end_of_stream) outcome = bz2_walk_stream_check(d.walk);
    // A clean end may be followed by another stream.
    if (outcome == bz2_ok) {
      if (!bz2_walk_next_stream(d.walk)) return;
      d.status = bz2_ok;
    }
  }
  bz2_throw(outcome);
}

}  // namespace

void bz2_decompress(const file_ptr& input, const file_ptr& output, abort_callback& abort) {
  unsigned workers = bz2_worker_count();
  if (workers <= 1) {
    bz2_file_source source(input, abort);
    decode_streams(source, nullptr, output, abort);
    return;
  }
  bz2_block_pool pool(input, 0, workers, abort);
  decode_streams(pool.source(), &pool, output, abort);
}
