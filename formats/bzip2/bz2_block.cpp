#include "formats/bzip2/bz2_block.h"

#include <algorithm>
#include <cstring>

#include "formats/bzip2/bz2_transform.h"

namespace {

constexpr int symbols_per_selector = 50;

uint32_t low_mask(uint32_t n) {
  return static_cast<uint32_t>((uint64_t{1} << n) - 1);
}

uint32_t* vector_entries(bz2_block& b) {
  return reinterpret_cast<uint32_t*>(b.vector.data());
}

// Symbol map, selectors and code tables of one block header, after the
// origin pointer.
struct block_header {
  uint8_t byte_map[256];  // the block's bytes in ascending order, zero after
  uint32_t byte_count;    // N
  uint32_t selector_count;
};

int32_t read_block_tables(bz2_block& b, bz2_bit_input& in, block_header& h) {
  std::memset(h.byte_map, 0, sizeof h.byte_map);
  h.byte_count = 0;
  uint32_t ranges = bz2_read_bits(in, 16);
  for (uint32_t range = 0; range < 16; ++range) {
    if ((ranges & (0x8000u >> range)) == 0) continue;
    uint32_t present = bz2_read_bits(in, 16);
    for (uint32_t i = 0; i < 16; ++i) {
      if (present & (0x8000u >> i))
        h.byte_map[h.byte_count++] = static_cast<uint8_t>(range * 16 + i);
    }
  }
  b.byte_count = h.byte_count;

  uint32_t group_count = bz2_read_bits(in, 3);
  if (group_count < 2 || group_count > bz2_max_groups) return bz2_data_error;
  h.selector_count = bz2_read_bits(in, 15);
  if (h.selector_count == 0) return bz2_data_error;

  // Selectors are move-to-front coded in unary.
  uint8_t order[bz2_max_groups] = {0, 1, 2, 3, 4, 5};
  for (uint32_t s = 0; s < h.selector_count; ++s) {
    uint32_t position = 0;
    while (bz2_read_bits(in, 1) != 0) {
      if (++position >= group_count) return bz2_data_error;
    }
    uint8_t group = order[position];
    std::memmove(order + 1, order, position);
    order[0] = group;
    b.selectors[s] = group;
  }

  // Code lengths are delta coded; the length must stay in range at every
  // step, even where a later step would bring it back.
  const int alphabet = static_cast<int>(h.byte_count) + 2;
  uint8_t lengths[bz2_max_alphabet];
  for (uint32_t g = 0; g < group_count; ++g) {
    int32_t length = static_cast<int32_t>(bz2_read_bits(in, 5));
    for (int s = 0; s < alphabet; ++s) {
      for (;;) {
        if (length < 1 || length > bz2_max_code_length) return bz2_data_error;
        if (bz2_read_bits(in, 1) == 0) break;
        length += bz2_read_bits(in, 1) == 0 ? 1 : -1;
      }
      lengths[s] = static_cast<uint8_t>(length);
    }
    huffman_group_build(b.groups[g], lengths, alphabet);
  }
  return bz2_ok;
}

// Decodes the symbols of one block into the block vector (the last column
// of the sorted rotations, one byte per entry with the upper bits zero),
// counting each byte. Stores the number of entries in `entry_count`.
//
// The bit buffer lives in locals: up to 63 bits in a 64-bit word, filled
// eight bytes at a time straight from the input's span. When the span runs
// dry, fewer than 32 bits are left, so they go back into the input's
// 32-bit buffer and bz2_read_bits makes the next span current. On the way
// out whole bytes beyond 31 bits go back to the span; they were all read
// from the current span, since a span is only fetched with fewer than 32
// bits held.
int32_t decode_symbols(bz2_block& b, bz2_bit_input& input, const block_header& h,
                       uint32_t byte_counts[256], uint32_t& entry_count) {
  uint32_t* const column = vector_entries(b);
  const uint32_t capacity = b.capacity;
  const uint32_t end_of_block = h.byte_count + 1;

  uint8_t mtf[256];  // the move-to-front list, holding bytes
  std::memcpy(mtf, h.byte_map, sizeof mtf);

  uint64_t bits = input.bit_buffer;
  uint32_t count = input.bit_count;
  const uint8_t* in = input.data;
  int32_t pos = input.pos;
  int32_t end = input.count;

  uint32_t n = 0;
  uint32_t run_length = 0;
  uint32_t run_weight = 0;  // 0: no run pending
  uint32_t selector = 0;
  int group_left = 0;
  const huffman_group* g = nullptr;
  int32_t result = bz2_ok;

  for (;;) {
    if (group_left == 0) {
      if (selector == h.selector_count) {
        result = bz2_data_error;
        break;
      }
      g = &b.groups[b.selectors[selector++]];
      group_left = symbols_per_selector;
    }
    --group_left;

    // Exactly max_length bits must be available, as the limit scan reads
    // that many; the lookup then uses the first lookup_bits of them.
    const uint32_t max_length = static_cast<uint32_t>(g->max_length);
    if (count < max_length) {
      if (end - pos >= 8) {
        uint64_t word;
        std::memcpy(&word, in + pos, 8);
        word = __builtin_bswap64(word);
        uint32_t take = (63 - count) >> 3;  // 5 to 7 bytes
        bits = (bits << (take * 8)) | (word >> (64 - take * 8));
        pos += static_cast<int32_t>(take);
        count += take * 8;
      } else {
        while (count <= 56 && pos < end) {
          bits = (bits << 8) | in[pos++];
          count += 8;
        }
        if (count < max_length) {
          input.bit_buffer = static_cast<uint32_t>(bits);
          input.bit_count = count;
          input.pos = pos;
          bz2_read_bits(input, max_length);
          input.bit_count += max_length;  // peeked, not consumed
          bits = input.bit_buffer;
          count = input.bit_count;
          in = input.data;
          pos = input.pos;
          end = input.count;
        }
      }
    }

    const uint32_t lookup_bits = static_cast<uint32_t>(g->lookup_bits);
    uint32_t entry = g->lookup[(bits >> (count - lookup_bits)) & low_mask(lookup_bits)];
    uint32_t symbol;
    if (entry != 0) {
      symbol = entry & bz2_lookup_symbol_mask;
      count -= entry >> bz2_lookup_length_shift;
    } else {
      uint32_t v = static_cast<uint32_t>(bits >> (count - max_length)) & low_mask(max_length);
      int32_t length = 0;
      int32_t found = huffman_group_scan(*g, v, length);
      if (found < 0) {
        result = bz2_data_error;
        break;
      }
      symbol = static_cast<uint32_t>(found);
      count -= static_cast<uint32_t>(length);
    }

    // Run symbols spell the run length in bijective base 2, least
    // significant digit first. Both numbers stop just above the capacity,
    // which is enough to refuse the run when it ends.
    if (symbol <= 1) {
      if (run_weight == 0) {
        run_weight = 1;
        run_length = 0;
      }
      run_length = std::min(run_length + (run_weight << symbol), capacity + 1);
      run_weight = std::min(run_weight << 1, capacity + 1);
      continue;
    }
    if (run_weight != 0) {
      // A run may fill the block exactly; only more than that is refused.
      if (run_length > capacity - n) {
        result = bz2_data_error;
        break;
      }
      uint8_t byte = mtf[0];
      byte_counts[byte] += run_length;
      std::fill_n(column + n, run_length, byte);
      n += run_length;
      run_weight = 0;
    }
    if (symbol >= end_of_block) break;
    if (n == capacity) {
      result = bz2_data_error;
      break;
    }
    uint32_t p = symbol - 1;
    uint8_t byte = mtf[p];
    // Most positions are small: move them inline rather than call memmove.
    if (p <= 16) {
      for (uint32_t k = p; k != 0; --k) mtf[k] = mtf[k - 1];
    } else {
      std::memmove(mtf + 1, mtf, p);
    }
    mtf[0] = byte;
    ++byte_counts[byte];
    column[n++] = byte;
  }

  while (count >= 32) {
    --pos;
    bits >>= 8;
    count -= 8;
  }
  input.bit_buffer = static_cast<uint32_t>(bits);
  input.bit_count = count;
  input.pos = pos;
  entry_count = n;
  return result;
}

}  // namespace

void bz2_block_set_capacity(bz2_block& b, uint32_t digit) {
  uint32_t capacity = digit * bz2_block_size_unit;
  if (capacity != b.capacity) {
    b.vector.set_size(0);
    b.text.set_size(0);
    b.capacity = 0;
    b.vector.set_size(capacity * sizeof(uint32_t));
    b.text.set_size(capacity);
    b.capacity = capacity;
  }
}

int32_t bz2_decode_block(bz2_block& b, bz2_bit_input& in) {
  b.size = 0;
  uint32_t magic_high = bz2_read_bits(in, 24);
  uint32_t magic_low = bz2_read_bits(in, 24);
  b.stored_crc = bz2_read_bits(in, 32);
  uint64_t magic = uint64_t{magic_high} << 24 | magic_low;
  if (magic == bz2_end_magic) return bz2_end_of_stream;
  if (magic != bz2_block_magic) return bz2_not_bzip2_data;
  if (bz2_read_bits(in, 1) != 0) return bz2_obsolete_input;
  b.origin = bz2_read_bits(in, 24);
  if (b.origin > b.capacity) return bz2_data_error;

  block_header h;
  int32_t result = read_block_tables(b, in, h);
  if (result != bz2_ok) return result;

  uint32_t byte_counts[256] = {};
  uint32_t n = 0;
  result = decode_symbols(b, in, h, byte_counts, n);
  if (result != bz2_ok) return result;

  if (n != 0) {
    if (b.origin >= n) return bz2_data_error;
    bz2_invert_transform(vector_entries(b), byte_counts, n, b.origin, b.text.data());
  }
  b.size = n;
  return bz2_ok;
}
