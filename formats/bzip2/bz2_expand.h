// The last step of decoding a bzip2 block: expanding the repeat counts of
// its text into the block's bytes, and the CRC those bytes are checked by.
//
// In the text, four equal bytes are followed by a count (0 to 255) of
// further copies of that byte. The block CRC is CRC-32 with polynomial
// 0x04C11DB7, most significant bit first, over the expanded bytes; the
// stream CRC combines the block CRCs in order.
#pragma once

#include <cstddef>
#include <cstdint>

// The state of expanding one block's text, so that its bytes can be taken
// in pieces of any size; or of copying a block expanded elsewhere, in the
// same pieces. Copyable: a copy made before expanding expands the block
// again.
struct bz2_expander {
  const uint8_t* text = nullptr;  // not owned
  uint32_t link = 0;              // the next text byte to read
  uint32_t entries_left = 0;      // text bytes not yet read
  uint32_t copies_left = 0;       // pending emissions of current_byte
  int32_t run_countdown = 0;      // 0 after four equal bytes: the next is a count
  uint32_t current_byte = 0;      // the byte being emitted, or repeated
  uint32_t crc = 0;               // running CRC of the bytes produced so far
  bool finished = false;          // every byte has been produced
  // When copying: the bytes not yet copied. Null when expanding.
  const uint8_t* copy_from = nullptr;
  uint32_t copy_left = 0;
};

// Starts expanding `text[0, size)`, which must outlive the expansion.
void bz2_expand_start(bz2_expander& e, const uint8_t* text, uint32_t size);

// Starts copying `bytes[0, count)`, a block's expansion whose CRC is
// `crc`; the bytes must outlive the copying.
void bz2_copy_start(bz2_expander& e, const uint8_t* bytes, uint32_t count, uint32_t crc);

// Writes the block's next bytes to [out, out_end) and returns the end of
// what it wrote. Stops when the space is full and another byte is left
// (held back for the next call), or at the block's end, with `finished`
// set and possibly the space exactly full. Precondition: not finished.
uint8_t* bz2_expand(bz2_expander& e, uint8_t* out, uint8_t* out_end);

// The block CRC of the bytes produced; final once `finished` is set.
inline uint32_t bz2_expanded_crc(const bz2_expander& e) {
  return ~e.crc;
}

// Continues the running CRC `crc` (start with 0xFFFFFFFF, invert at the
// end) over `count` bytes.
uint32_t bz2_crc_update(uint32_t crc, const uint8_t* data, size_t count);

// The stream CRC after folding in the next block's CRC.
inline uint32_t bz2_combine_crc(uint32_t combined, uint32_t block_crc) {
  return ((combined << 1) | (combined >> 31)) ^ block_crc;
}
