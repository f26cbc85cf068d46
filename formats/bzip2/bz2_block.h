// The bzip2 block decoder: one record of a stream, from its 48-bit magic to
// the block's text and stored CRC, or the stream's CRC after an
// end-of-stream record.
//
// A block is Huffman coded move-to-front symbols of a Burrows-Wheeler
// transformed, run-length encoded text. Decoding it needs nothing from the
// blocks before it, only the stream's block-size digit, so a block can be
// decoded alone from the bit position where its record starts. The text
// still holds the repeat counts of the run-length encoding; expanding it
// (bz2_expand.h) gives the block's bytes and the CRC to compare with the
// stored one.
#pragma once

#include <cstdint>

#include "formats/bzip2/bz2_bit_input.h"
#include "formats/bzip2/bz2_huffman.h"
#include "io/byte_array.h"

// Result codes of the decoder steps: 0 or negative, nothing else.
enum bz2_result : int32_t {
  bz2_ok = 0,               // block decoded, or stream header read
  bz2_end_of_stream = -1,   // end-of-stream record read
  bz2_not_bzip2_data = -2,  // stream header or record magic wrong
  bz2_crc_mismatch = -4,    // a block or stream CRC differs from the stored one
  bz2_data_error = -5,      // a structural bound of a block was violated
  bz2_obsolete_input = -7,  // the block uses the randomised-block feature
};

constexpr uint32_t bz2_block_size_unit = 100000;
constexpr uint32_t bz2_max_block_size = 9 * bz2_block_size_unit;
constexpr int bz2_max_selectors = 32768;

// Record magics: the first 48 bits of a block (the digits of pi) and of the
// end-of-stream record (the digits of the square root of pi).
constexpr uint64_t bz2_block_magic = 0x314159265359;
constexpr uint64_t bz2_end_magic = 0x177245385090;

// A block decoder's buffers and tables, and what it decoded last. Create
// it with new (it is large); destroying it frees the buffers.
struct bz2_block {
  // 100000 times the block-size digit: the most entries a block may hold.
  uint32_t capacity = 0;
  // The block vector: `capacity` 32-bit entries, the last column of the
  // sorted rotations, then linked (bz2_transform.h).
  byte_array vector;
  // The block's text before the expansion of repeat counts: `size` of
  // `capacity` bytes.
  byte_array text;
  uint32_t size = 0;
  // The block's CRC as stored, or the stream's after an end-of-stream record.
  uint32_t stored_crc = 0;
  uint32_t origin = 0;      // the origin pointer: the row of the text
  uint32_t byte_count = 0;  // the bytes the symbol map declares
  uint8_t selectors[bz2_max_selectors] = {};
  huffman_group groups[bz2_max_groups] = {};
};

// A block decoded away from the walk (bz2_parallel.h): its stored CRC, and
// its expanded bytes with their CRC, or, when they were too many to keep,
// its text to expand again.
struct bz2_decoded_block {
  uint32_t stored_crc = 0;
  uint32_t crc = 0;                // the CRC of the expanded bytes
  uint64_t byte_count = 0;         // the number of expanded bytes
  const uint8_t* bytes = nullptr;  // the expanded bytes, or null
  const uint8_t* text = nullptr;   // when `bytes` is null: the text, `size` bytes
  uint32_t size = 0;
};

// Sizes the buffers for the blocks of a stream with block-size digit
// `digit` (1 to 9). The old buffers are freed first, so two never coexist;
// nothing happens when the capacity stays. Throws plix::bad_alloc.
void bz2_block_set_capacity(bz2_block& b, uint32_t digit);

// Reads the record at `in`'s position: returns bz2_ok with the block's
// text, size and stored CRC in `b`; bz2_end_of_stream with the stream CRC
// in `b.stored_crc`; bz2_not_bzip2_data when neither magic is there;
// bz2_obsolete_input for a randomised block; bz2_data_error when the
// block breaks a structural bound of the format or of `b.capacity`.
// Afterwards `in` is just after the record when it was read whole. Throws
// exception_io_data_truncation when the input ends inside the record, and
// whatever the source throws. Precondition: bz2_block_set_capacity was
// called.
int32_t bz2_decode_block(bz2_block& b, bz2_bit_input& in);
