// The bzip2 decoder: the walk over the streams of a file, record by record.
//
// A stream is a header "BZh" plus a block-size digit, then blocks
// (bz2_block.h), then an end-of-stream record with the combined CRC. Every
// block CRC and the stream CRC are checked. Streams written one after the
// other (as parallel compressors and `cat` make them) decode as one file;
// bytes after the last stream that do not start another stream are
// ignored.
//
// The walk returns the result codes of `bz2_result` for bad data, which
// bz2_throw turns into the exceptions; the bit input throws only for input
// that ends early. The passes of the view format (bz2_view.h) drive the
// walk, and through them every decoding of a bzip2 file.
#pragma once

#include <cstdint>
#include <memory>

#include "formats/bzip2/bz2_bit_input.h"
#include "formats/bzip2/bz2_block.h"
#include "formats/bzip2/bz2_expand.h"
#include "io/file.h"

class bz2_block_pool;

// The position in a file's streams, record by record. Create it with
// bz2_walk_create; the bit input's source is the caller's.
struct bz2_stream_walk {
  bz2_bit_input bits;
  std::unique_ptr<bz2_block> block;
  uint32_t digit = 0;         // the current stream's block-size digit, 1 to 9
  uint32_t combined_crc = 0;  // of the blocks of the stream finished so far
  // Bit position where the last record read, or the current stream's
  // header, starts.
  uint64_t record_position = 0;
  // Decodes blocks ahead on other threads, or null; its source() must be
  // the bit input's source. Not owned.
  bz2_block_pool* pool = nullptr;
  // The block just read when the pool decoded it, or null when `block`
  // holds it.
  const bz2_decoded_block* decoded = nullptr;
};

// Makes the walk's block decoder. Throws plix::bad_alloc.
void bz2_walk_create(bz2_stream_walk& w);

// Reads a stream header at the input's position (a byte boundary) and
// starts that stream: returns bz2_ok, or bz2_not_bzip2_data when the four
// bytes are not "BZh1" to "BZh9". Throws exception_io_data_truncation,
// plix::bad_alloc and whatever the source throws.
int32_t bz2_walk_stream_header(bz2_stream_walk& w);

// Continues a stream with block-size digit `digit` (1 to 9) whose blocks
// so far combine to `combined_crc`, at the input's position, which must be
// where one of its records starts. Throws plix::bad_alloc.
void bz2_walk_resume(bz2_stream_walk& w, uint32_t digit, uint32_t combined_crc);

// Reads the stream's next record, noting where it starts in
// record_position: takes the block the pool decoded from there, if any,
// and otherwise decodes it with bz2_decode_block (sizing the block
// decoder for the stream first). Returns and throws as bz2_decode_block,
// and plix::bad_alloc.
int32_t bz2_walk_record(bz2_stream_walk& w);

// Starts expanding the block just read, wherever it was decoded.
void bz2_walk_expand_start(bz2_expander& e, const bz2_stream_walk& w);

// Folds the CRC of the block just read, computed over its bytes, into the
// stream's: returns bz2_ok, or bz2_crc_mismatch when it differs from the
// stored one.
int32_t bz2_walk_block_done(bz2_stream_walk& w, uint32_t crc);

// After an end-of-stream record: bz2_ok when the stream CRC matches,
// otherwise bz2_crc_mismatch.
inline int32_t bz2_walk_stream_check(const bz2_stream_walk& w) {
  return w.block->stored_crc == w.combined_crc ? bz2_ok : bz2_crc_mismatch;
}

// After a stream that ended cleanly: drops the padding to the byte
// boundary and, when the next four bytes are "BZh1" to "BZh9", starts that
// stream (record_position is its header's) and returns true. Returns false
// at the end of the input or when other bytes follow, which are not read
// further. Throws plix::bad_alloc and whatever the source throws.
bool bz2_walk_next_stream(bz2_stream_walk& w);

// "Not BZIP2 data", "Data error", "Obsolete input", or null for other
// codes (a CRC mismatch, which therefore reads "Unknown exception").
const char* bz2_error_text(int32_t code);

// Throws exception_io_data with bz2_error_text(code).
[[noreturn]] void bz2_throw(int32_t code);
