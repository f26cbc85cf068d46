// The inverse Burrows-Wheeler transform of a bzip2 block: links the rows
// of the block vector and walks the links to spell the block's text.
#pragma once

#include <cstdint>

// Block vector entries keep the byte in the low 8 bits and, once linked,
// the row it links to above them.
constexpr uint32_t bz2_link_shift = 8;
constexpr uint32_t bz2_byte_mask = 0xFF;

// Writes the text of the block whose last column is `block[0, n)` to
// `text[0, n)`. On entry each entry holds one byte with the upper bits
// zero and `byte_counts` counts each byte; afterwards the entries also
// hold their links. Preconditions: 0 < n <= 900000 and origin < n.
void bz2_invert_transform(uint32_t* block, const uint32_t byte_counts[256], uint32_t n,
                          uint32_t origin, uint8_t* text);
