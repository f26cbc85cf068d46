// The Huffman tables of bzip2 blocks: canonical codes of up to 20 bits
// given by their lengths, decoded by a lookup of the first bits and, for
// longer codes, a scan of per-length limits.
#pragma once

#include <cstdint>

constexpr int bz2_max_groups = 6;
constexpr int bz2_max_alphabet = 258;  // 256 move-to-front positions, 2 run symbols
constexpr int bz2_max_code_length = 20;
// Codes up to this length are found with one table lookup.
constexpr int bz2_lookup_bits = 10;
// Lookup entries: the symbol in the low 9 bits, the code length above.
constexpr uint32_t bz2_lookup_length_shift = 9;
constexpr uint32_t bz2_lookup_symbol_mask = 0x1FF;

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
  // current alphabet keep what an earlier block stored (zero at first),
  // but no lookup or scan reaches them: every index they find is below the
  // symbol count, even for incomplete or over-full codes. A block
  // therefore decodes the same whatever blocks came before it.
  int32_t sorted_symbols[bz2_max_alphabet];
  int32_t min_length;
  int32_t max_length;
  // For each value of the next `lookup_bits` bits: the symbol and length
  // (symbol | length << 9) that the `limit` scan finds for every value
  // starting with those bits, or 0 where the scan needs more bits or fails.
  uint16_t lookup[1 << bz2_lookup_bits];
  int32_t lookup_bits;  // min(max_length, bz2_lookup_bits)
};

// Fills `g` from the code lengths (1 to 20) of `symbol_count` symbols.
void huffman_group_build(huffman_group& g, const uint8_t* lengths, int symbol_count);

// The code that starts the `max_length`-bit value `v`, found by scanning
// `limit` upwards from `min_length`: stores its length and returns its
// symbol, or returns -1 when no code matches or its index is out of range.
int32_t huffman_group_scan(const huffman_group& g, uint32_t v, int32_t& length);
