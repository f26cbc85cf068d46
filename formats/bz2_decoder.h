// The bzip2 decoder: reads bzip2 streams from one file and writes the
// decompressed bytes to another.
//
// A stream is a header "BZh" plus a block-size digit, then blocks (Huffman
// coded move-to-front symbols of a Burrows-Wheeler transformed, run-length
// encoded text), then an end-of-stream record with the combined CRC. Every
// block CRC and the stream CRC are checked. Streams written one after the
// other (as parallel compressors and `cat` make them) decode as one file;
// bytes after the last stream that do not start another stream are ignored.
//
// Only `bz2_decompress` throws for bad data; the steps below it return the
// result codes of `bz2_result`, and the bit reader throws only for input
// that ends early.
#pragma once

#include <cstdint>
#include <memory>

#include "io/byte_array.h"
#include "io/file.h"

// Result codes of the decoder steps: 0 or negative, nothing else.
enum bz2_result : int32_t {
  bz2_ok = 0,               // block decoded, or decoder opened
  bz2_end_of_stream = -1,   // end-of-stream record read, or a block CRC failed
  bz2_not_bzip2_data = -2,  // stream header or record magic wrong
  bz2_data_error = -5,      // a structural bound of a block was violated
  bz2_obsolete_input = -7,  // the block uses the randomised-block feature
};

// Input is read and output written in chunks of this many bytes.
constexpr uint32_t bz2_chunk_size = 4096;

constexpr int bz2_max_groups = 6;
constexpr int bz2_max_selectors = 32768;
constexpr int bz2_max_alphabet = 258;  // 256 move-to-front positions, 2 run symbols
constexpr int bz2_max_code_length = 20;
// Codes up to this length are found with one table lookup.
constexpr int bz2_lookup_bits = 10;

// The decoding table of one Huffman group. `limit` and `base` are indexed
// by code length (entry 0 unused); `limit` is read up to `max_length` + 1,
// which can be 21.
struct huffman_group {
  // Largest `max_length`-bit value whose first L bits are a code of length
  // L or shorter; the entry above `max_length` is INT32_MAX.
  int32_t limit[bz2_max_code_length + 2];
  // Subtracted from a length-L code to give its index in `sorted_symbols`.
  int32_t base[bz2_max_code_length + 1];
  // Symbols by code length, then by symbol number. Entries beyond the
  // current alphabet keep what an earlier block stored (zero at first).
  int32_t sorted_symbols[bz2_max_alphabet];
  int32_t min_length;
  int32_t max_length;
  // For each value of the next `lookup_bits` bits: the symbol and length
  // (symbol | length << 9) that the `limit` scan finds for every value
  // starting with those bits, or 0 where the scan needs more bits or fails.
  uint16_t lookup[1 << bz2_lookup_bits];
  int32_t lookup_bits;  // min(max_length, bz2_lookup_bits)
};

// The state of one decoding run. Allocated by `bz2_decoder_open` with every
// field zero; destroying it frees the block vector and the text and drops
// the input reference.
struct bz2_decoder {
  int32_t copies_left = 0;    // pending emissions of current_byte
  int32_t link = 0;           // position in `text` that the output stage reads next
  int32_t run_countdown = 0;  // 0 after four equal bytes: the next is a count
  // Entries of the block not yet fetched; once negative, the sticky result
  // of the stream (-1 end or CRC failure, -2, -5, -7).
  int32_t entries_left = 0;
  int32_t current_byte = 0;  // the byte being emitted, or repeated
  sonovale_io::file_ptr input;
  abort_callback* abort = nullptr;  // the caller's; not owned
  int32_t input_count = 0;          // bytes in input_buffer
  int32_t input_pos = 0;            // next unread byte of input_buffer
  uint8_t input_buffer[bz2_chunk_size] = {};
  uint32_t bit_count = 0;   // unconsumed low bits of bit_buffer (0-31)
  uint32_t bit_buffer = 0;  // oldest bit highest
  uint32_t crc_table[256] = {};
  uint32_t stored_crc = 0;    // block CRC read, or the stream CRC at the end
  uint32_t combined_crc = 0;  // of the blocks finished so far
  uint32_t block_crc = 0;     // running CRC of the current block's output
  // Block vector of `capacity` 32-bit entries: the byte in bits 0-7, the
  // inverse-transform link in bits 8-31. Sized once per stream.
  byte_array block;
  uint8_t selectors[bz2_max_selectors] = {};
  huffman_group groups[bz2_max_groups] = {};

  // The block's text before the expansion of repeat counts, `capacity`
  // bytes.
  byte_array text;
  // 100000 times the stream's block-size digit.
  uint32_t capacity = 0;
  // Tables for computing the CRC eight bytes at a step, built with
  // crc_table.
  uint32_t crc_slices[7][256] = {};
};

// Decodes every bzip2 stream of `input`, from its current position, into
// `output` with writes of at most 4096 bytes, passing `abort` to every
// read and write. Throws exception_io_data with "Not BZIP2 data", "Data
// error" or "Obsolete input", or "Unknown exception" for a CRC mismatch;
// exception_io_data_truncation when the input ends inside a stream;
// plix::bad_alloc; and whatever the files throw. Bytes written before a
// failure stay in `output`.
void bz2_decompress(const sonovale_io::file_ptr& input, const sonovale_io::file_ptr& output,
                    abort_callback& abort);

// Makes a decoder over `input` (holding a reference to it) and stores it in
// `out` before reading the stream header, so the caller owns it either way.
// Returns bz2_ok or bz2_not_bzip2_data. Throws plix::bad_alloc and
// exception_io_data_truncation.
int32_t bz2_decoder_open(std::unique_ptr<bz2_decoder>& out, const sonovale_io::file_ptr& input,
                         abort_callback& abort);

// Places up to 4096 decoded bytes in `buffer` (4096 bytes long). Returns
// their number; 0 when the stream ended and nothing was produced; or a
// negative result code, which every later call returns again.
int32_t bz2_read(bz2_decoder& d, uint8_t* buffer);

// Reads and decodes the next block record, leaving its text for the output
// stage. Returns bz2_ok, bz2_end_of_stream (with the stream CRC in
// stored_crc), bz2_not_bzip2_data, bz2_data_error or bz2_obsolete_input.
int32_t bz2_decode_block(bz2_decoder& d);

// The next `n` (1 to 32) bits of the stream, the first read highest.
// Throws exception_io_data_truncation when the input ends.
uint32_t bz2_read_bits(bz2_decoder& d, uint32_t n);

// After a stream that ended cleanly: drops the padding to the byte
// boundary and, when the next four bytes are "BZh1" to "BZh9", makes the
// decoder ready for that stream and returns true. Returns false at the end
// of the input or when other bytes follow, which are not read further.
bool bz2_next_stream(bz2_decoder& d);

// "Not BZIP2 data", "Data error", "Obsolete input", or null for other codes.
const char* bz2_error_text(int32_t code);

// Fills `g` from the code lengths (1 to 20) of `symbol_count` symbols.
void huffman_group_build(huffman_group& g, const uint8_t* lengths, int symbol_count);

// The code that starts the `max_length`-bit value `v`, found by scanning
// `limit` upwards from `min_length`: stores its length and returns its
// symbol, or returns -1 when no code matches or its index is out of range.
int32_t huffman_group_scan(const huffman_group& g, uint32_t v, int32_t& length);
