#include "formats/bz2_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "io/exceptions.h"

using sonovale_io::file_ptr;

namespace {

// CRC-32 as bzip2 uses it: polynomial 0x04C11DB7, most significant bit
// first, no reflection.
constexpr uint32_t crc_polynomial = 0x04C11DB7;

// Record magics: the first 48 bits of a block (the digits of pi) and of the
// end-of-stream record (the digits of the square root of pi), read in two
// 24-bit halves.
constexpr uint32_t block_magic_high = 0x314159;
constexpr uint32_t block_magic_low = 0x265359;
constexpr uint32_t end_magic_high = 0x177245;
constexpr uint32_t end_magic_low = 0x385090;

// "BZh1" to "BZh9" read as one big-endian number.
constexpr uint32_t header_first = 0x425A6831;
constexpr uint32_t header_last = 0x425A6839;

constexpr uint32_t block_size_unit = 100000;
constexpr int symbols_per_selector = 50;
// The block vector keeps the byte in the low 8 bits and the link above.
constexpr uint32_t link_shift = 8;
constexpr uint32_t byte_mask = 0xFF;
// Lookup entries: the symbol in the low 9 bits, the code length above.
constexpr uint32_t lookup_length_shift = 9;
constexpr uint32_t lookup_symbol_mask = 0x1FF;

uint32_t low_mask(uint32_t n) {
  return static_cast<uint32_t>((uint64_t{1} << n) - 1);
}

uint32_t* block_entries(bz2_decoder& d) {
  return reinterpret_cast<uint32_t*>(d.block.data());
}

// `table` is the byte table; slice k holds the effect of a byte followed
// by k + 1 zero bytes, so that eight bytes take one step.
void build_crc_tables(uint32_t table[256], uint32_t slices[7][256]) {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc << 1) ^ ((crc & 0x80000000u) ? crc_polynomial : 0);
    table[i] = crc;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = table[i];
    for (int k = 0; k < 7; ++k) {
      crc = (crc << 8) ^ table[crc >> 24];
      slices[k][i] = crc;
    }
  }
}

uint32_t load_big_endian(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

uint32_t crc_update(const bz2_decoder& d, uint32_t crc, const uint8_t* data, size_t count) {
  const uint32_t(*s)[256] = d.crc_slices;
  for (; count >= 8; count -= 8, data += 8) {
    uint32_t a = crc ^ load_big_endian(data);
    uint32_t b = load_big_endian(data + 4);
    crc = s[6][a >> 24] ^ s[5][(a >> 16) & 0xFF] ^ s[4][(a >> 8) & 0xFF] ^ s[3][a & 0xFF] ^
          s[2][b >> 24] ^ s[1][(b >> 16) & 0xFF] ^ s[0][(b >> 8) & 0xFF] ^ d.crc_table[b & 0xFF];
  }
  for (size_t i = 0; i < count; ++i) crc = (crc << 8) ^ d.crc_table[(crc >> 24) ^ data[i]];
  return crc;
}

// Sizes the block vector and the text for a stream with block-size digit
// `digit`. The old ones are freed first, so two never coexist.
void set_capacity(bz2_decoder& d, uint32_t digit) {
  uint32_t capacity = digit * block_size_unit;
  if (capacity != d.capacity) {
    d.block.set_size(0);
    d.text.set_size(0);
    d.capacity = 0;
    d.block.set_size(capacity * sizeof(uint32_t));
    d.text.set_size(capacity);
    d.capacity = capacity;
  }
}

// Reads the next chunk of input; the end of the input is a truncation.
void refill_input(bz2_decoder& d) {
  uint32_t got = d.input->read(d.input_buffer, bz2_chunk_size, *d.abort);
  if (got == 0) throw sonovale_io::exception_io_data_truncation();
  d.input_count = static_cast<int32_t>(std::min(got, bz2_chunk_size));
  d.input_pos = 0;
}

// The next whole byte after a stream, or -1 at the end of the input.
int next_byte(bz2_decoder& d) {
  if (d.bit_count >= 8) {
    d.bit_count -= 8;
    return static_cast<int>((d.bit_buffer >> d.bit_count) & byte_mask);
  }
  if (d.input_pos == d.input_count) {
    uint32_t got = d.input->read(d.input_buffer, bz2_chunk_size, *d.abort);
    if (got == 0) return -1;
    d.input_count = static_cast<int32_t>(std::min(got, bz2_chunk_size));
    d.input_pos = 0;
  }
  return d.input_buffer[d.input_pos++];
}

// Symbol map, selectors and code tables of one block header, after the
// origin pointer.
struct block_header {
  uint8_t byte_map[256];  // the block's bytes in ascending order, zero after
  uint32_t byte_count;    // N
  uint32_t selector_count;
};

int32_t read_block_tables(bz2_decoder& d, block_header& h) {
  std::memset(h.byte_map, 0, sizeof h.byte_map);
  h.byte_count = 0;
  uint32_t ranges = bz2_read_bits(d, 16);
  for (uint32_t range = 0; range < 16; ++range) {
    if ((ranges & (0x8000u >> range)) == 0) continue;
    uint32_t present = bz2_read_bits(d, 16);
    for (uint32_t i = 0; i < 16; ++i) {
      if (present & (0x8000u >> i))
        h.byte_map[h.byte_count++] = static_cast<uint8_t>(range * 16 + i);
    }
  }

  uint32_t group_count = bz2_read_bits(d, 3);
  if (group_count < 2 || group_count > bz2_max_groups) return bz2_data_error;
  h.selector_count = bz2_read_bits(d, 15);
  if (h.selector_count == 0) return bz2_data_error;

  // Selectors are move-to-front coded in unary.
  uint8_t order[bz2_max_groups] = {0, 1, 2, 3, 4, 5};
  for (uint32_t s = 0; s < h.selector_count; ++s) {
    uint32_t position = 0;
    while (bz2_read_bits(d, 1) != 0) {
      if (++position >= group_count) return bz2_data_error;
    }
    uint8_t group = order[position];
    std::memmove(order + 1, order, position);
    order[0] = group;
    d.selectors[s] = group;
  }

  // Code lengths are delta coded; the length must stay in range at every
  // step, even where a later step would bring it back.
  const int alphabet = static_cast<int>(h.byte_count) + 2;
  uint8_t lengths[bz2_max_alphabet];
  for (uint32_t g = 0; g < group_count; ++g) {
    int32_t length = static_cast<int32_t>(bz2_read_bits(d, 5));
    for (int s = 0; s < alphabet; ++s) {
      for (;;) {
        if (length < 1 || length > bz2_max_code_length) return bz2_data_error;
        if (bz2_read_bits(d, 1) == 0) break;
        length += bz2_read_bits(d, 1) == 0 ? 1 : -1;
      }
      lengths[s] = static_cast<uint8_t>(length);
    }
    huffman_group_build(d.groups[g], lengths, alphabet);
  }
  return bz2_ok;
}

// Decodes the symbols of one block into the block vector (the last column
// of the sorted rotations, one byte per entry with the upper bits zero),
// counting each byte. Stores the number of entries in `entry_count`.
//
// The bit buffer lives in locals: up to 63 bits in a 64-bit word, filled
// eight bytes at a time straight from input_buffer. When input_buffer runs
// dry, fewer than 32 bits are left, so they go back into the decoder's
// 32-bit buffer and bz2_read_bits fetches the next chunk. On the way out
// whole bytes beyond 31 bits go back to input_buffer; they were all read
// from the current chunk, since a chunk is only fetched with fewer than 32
// bits held.
int32_t decode_symbols(bz2_decoder& d, const block_header& h, uint32_t byte_counts[256],
                       uint32_t& entry_count) {
  uint32_t* const column = block_entries(d);
  const uint32_t capacity = d.capacity;
  const uint32_t end_of_block = h.byte_count + 1;

  uint8_t mtf[256];  // the move-to-front list, holding bytes
  std::memcpy(mtf, h.byte_map, sizeof mtf);

  uint64_t bits = d.bit_buffer;
  uint32_t count = d.bit_count;
  const uint8_t* const in = d.input_buffer;
  int32_t pos = d.input_pos;
  int32_t end = d.input_count;

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
      g = &d.groups[d.selectors[selector++]];
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
          d.bit_buffer = static_cast<uint32_t>(bits);
          d.bit_count = count;
          d.input_pos = pos;
          bz2_read_bits(d, max_length);
          d.bit_count += max_length;  // peeked, not consumed
          bits = d.bit_buffer;
          count = d.bit_count;
          pos = d.input_pos;
          end = d.input_count;
        }
      }
    }

    const uint32_t lookup_bits = static_cast<uint32_t>(g->lookup_bits);
    uint32_t entry = g->lookup[(bits >> (count - lookup_bits)) & low_mask(lookup_bits)];
    uint32_t symbol;
    if (entry != 0) {
      symbol = entry & lookup_symbol_mask;
      count -= entry >> lookup_length_shift;
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
      uint8_t b = mtf[0];
      byte_counts[b] += run_length;
      std::fill_n(column + n, run_length, b);
      n += run_length;
      run_weight = 0;
    }
    if (symbol >= end_of_block) break;
    if (n == capacity) {
      result = bz2_data_error;
      break;
    }
    uint32_t p = symbol - 1;
    uint8_t b = mtf[p];
    // Most positions are small: move them inline rather than call memmove.
    if (p <= 16) {
      for (uint32_t k = p; k != 0; --k) mtf[k] = mtf[k - 1];
    } else {
      std::memmove(mtf + 1, mtf, p);
    }
    mtf[0] = b;
    ++byte_counts[b];
    column[n++] = b;
  }

  while (count >= 32) {
    --pos;
    bits >>= 8;
    count -= 8;
  }
  d.bit_buffer = static_cast<uint32_t>(bits);
  d.bit_count = count;
  d.input_pos = pos;
  entry_count = n;
  return result;
}

// Walks run this many chains at once: each step is a dependent load from a
// table of megabytes, bound by memory latency, and independent chains keep
// that many loads in flight.
constexpr int walk_lanes = 16;
// Rows that are multiples of this (and the origin row) cut the text into
// segments of about this length on average, a few hundred per block.
constexpr uint32_t seed_spacing = 1024;
constexpr uint32_t max_seeds = 900000 / seed_spacing + 2;

// Links the rows of the block vector and writes the block's text to d.text.
//
// Entry i of the block vector is row i of the sorted rotations. Counting
// the last column gives each entry's link: the row whose rotation starts
// one byte later. Following links from the origin row spells the text;
// the byte of the k-th row reached is text byte k.
//
// Rather than one chain of n dependent loads, the walk cuts the cycle of
// links at seed rows. A first pass follows every seed to the next seed,
// many seeds at a time, learning each segment's length and successor; the
// lengths, chained from the origin, place each segment in the text; a
// second pass walks the segments again, many at a time, writing their
// bytes. When the cycle through the origin does not divide n (a column no
// compressor writes) the text is walked from the origin alone, so the
// result is always that of the plain walk.
void invert_transform(bz2_decoder& d, const uint32_t byte_counts[256], uint32_t n,
                      uint32_t origin) {
  uint32_t* const block = block_entries(d);
  uint8_t* const text = d.text.data();
  uint32_t next[256];
  uint32_t sum = 0;
  for (int b = 0; b < 256; ++b) {
    next[b] = sum;
    sum += byte_counts[b];
  }
  // The k-th occurrence of byte b in the last column belongs to the
  // rotation that sorts k-th among those starting with b.
  for (uint32_t i = 0; i < n; ++i) block[next[block[i] & byte_mask]++] |= i << link_shift;

  const uint32_t multiples = (n - 1) / seed_spacing + 1;
  const uint32_t origin_seed = origin % seed_spacing == 0 ? origin / seed_spacing : multiples;
  const uint32_t seed_count = origin_seed == multiples ? multiples + 1 : multiples;
  auto is_seed = [&](uint32_t row) { return row % seed_spacing == 0 || row == origin; };
  auto seed_of = [&](uint32_t row) { return row == origin ? origin_seed : row / seed_spacing; };
  auto row_of = [&](uint32_t seed) { return seed == multiples ? origin : seed * seed_spacing; };
  uint32_t segment_next[max_seeds], segment_length[max_seeds], segment_offset[max_seeds];

  // Every seed's chain reaches a seed again, its own at the latest.
  struct measure {
    uint32_t seed, row, length;
  };
  measure lane[walk_lanes];
  int lanes = 0;
  uint32_t queued = 0;
  auto start_measure = [&](uint32_t s) -> measure {
    return {s, block[row_of(s)] >> link_shift, 1};
  };
  while (lanes < walk_lanes && queued < seed_count) lane[lanes++] = start_measure(queued++);
  while (lanes > 0) {
    for (int l = 0; l < lanes;) {
      measure& m = lane[l];
      if (is_seed(m.row)) {
        segment_next[m.seed] = seed_of(m.row);
        segment_length[m.seed] = m.length;
        m = queued < seed_count ? start_measure(queued++) : lane[--lanes];
        continue;
      }
      m.row = block[m.row] >> link_shift;
      ++m.length;
      ++l;
    }
  }

  // Place the segments of the origin's cycle, in text order.
  uint32_t cycle_seeds[max_seeds];
  uint32_t placed = 0;
  uint32_t seed = origin_seed;
  uint64_t offset = 0;
  do {
    cycle_seeds[placed++] = seed;
    segment_offset[seed] = static_cast<uint32_t>(offset);
    offset += segment_length[seed];
    seed = segment_next[seed];
  } while (seed != origin_seed && placed < seed_count);

  // Usually the cycle passes every row once. A text made of one repeated
  // piece gives a shorter cycle that the plain walk goes round several
  // times; its first round is then repeated.
  if (seed == origin_seed && n % offset == 0) {
    struct write {
      uint32_t row;
      uint8_t* out;
      uint8_t* end;
    };
    write writer[walk_lanes];
    int writers = 0;
    queued = 0;
    auto start_write = [&](uint32_t s) -> write {
      uint8_t* out = text + segment_offset[s];
      return {block[row_of(s)] >> link_shift, out, out + segment_length[s]};
    };
    while (writers < walk_lanes && queued < placed)
      writer[writers++] = start_write(cycle_seeds[queued++]);
    while (writers > 0) {
      for (int l = 0; l < writers;) {
        write& w = writer[l];
        if (w.out == w.end) {
          w = queued < placed ? start_write(cycle_seeds[queued++]) : writer[--writers];
          continue;
        }
        uint32_t e = block[w.row];
        *w.out++ = static_cast<uint8_t>(e);
        w.row = e >> link_shift;
        ++l;
      }
    }
    for (uint64_t done = offset; done < n; done *= 2) {
      std::memcpy(text + done, text, std::min<uint64_t>(done, n - done));
    }
    return;
  }

  uint32_t row = block[origin] >> link_shift;
  for (uint32_t k = 0; k < n; ++k) {
    uint32_t e = block[row];
    text[k] = static_cast<uint8_t>(e);
    row = e >> link_shift;
  }
}

}  // namespace

void huffman_group_build(huffman_group& g, const uint8_t* lengths, int symbol_count) {
  int32_t counts[bz2_max_code_length + 2] = {};
  int32_t min_length = bz2_max_code_length + 1;
  int32_t max_length = 0;
  for (int s = 0; s < symbol_count; ++s) {
    int32_t length = lengths[s];
    ++counts[length];
    min_length = std::min(min_length, length);
    max_length = std::max(max_length, length);
  }
  g.min_length = min_length;
  g.max_length = max_length;

  int k = 0;
  for (int32_t length = min_length; length <= max_length; ++length) {
    for (int s = 0; s < symbol_count; ++s) {
      if (lengths[s] == length) g.sorted_symbols[k++] = s;
    }
  }

  // Canonical codes: the codes of one length are consecutive and follow
  // the shorter ones, doubled for each extra bit.
  int32_t p = 0;
  int32_t t = 0;
  for (int32_t length = min_length; length < max_length; ++length) {
    p += counts[length];
    g.limit[length] = (p << (max_length - length)) - 1;
    p <<= 1;
    t += counts[length];
    g.base[length + 1] = p - t;
  }
  g.limit[max_length] = p + counts[max_length] - 1;
  g.limit[max_length + 1] = INT32_MAX;
  g.base[min_length] = 0;

  // Every value starting with the same lookup_bits bits scans to the same
  // code when that code is no longer than lookup_bits, because `limit`
  // entries below max_length are multiples of their step, less 1. The
  // first value of each prefix therefore stands for all of them. As the
  // prefixes rise the scan's answer only rises, so it carries over.
  const int32_t lookup_bits = std::min(max_length, bz2_lookup_bits);
  g.lookup_bits = lookup_bits;
  int32_t length = min_length;
  for (int32_t prefix = 0; prefix < (1 << lookup_bits); ++prefix) {
    int32_t v = prefix << (max_length - lookup_bits);
    while (v > g.limit[length]) ++length;
    uint16_t entry = 0;
    if (length <= lookup_bits) {
      int32_t index = (v >> (max_length - length)) - g.base[length];
      if (index >= 0 && index < bz2_max_alphabet) {
        entry = static_cast<uint16_t>(g.sorted_symbols[index] | length << lookup_length_shift);
      }
    }
    g.lookup[prefix] = entry;
  }
}

int32_t huffman_group_scan(const huffman_group& g, uint32_t v, int32_t& length) {
  int32_t l = g.min_length;
  while (static_cast<int32_t>(v) > g.limit[l]) ++l;
  if (l > g.max_length) return -1;
  int32_t index = static_cast<int32_t>(v >> (g.max_length - l)) - g.base[l];
  if (index < 0 || index >= bz2_max_alphabet) return -1;
  length = l;
  return g.sorted_symbols[index];
}

uint32_t bz2_read_bits(bz2_decoder& d, uint32_t n) {
  uint64_t high = 0;
  while (d.bit_count < n) {
    if (d.input_pos == d.input_count) refill_input(d);
    // Only reads of more than 24 bits get here with 24 bits held: set them
    // aside so that the next byte fits.
    if (d.bit_count >= 24) {
      high = (high << d.bit_count) | (d.bit_buffer & low_mask(d.bit_count));
      n -= d.bit_count;
      d.bit_count = 0;
    }
    d.bit_buffer = (d.bit_buffer << 8) | d.input_buffer[d.input_pos++];
    d.bit_count += 8;
  }
  d.bit_count -= n;
  uint32_t value = (d.bit_buffer >> d.bit_count) & low_mask(n);
  return static_cast<uint32_t>((high << n) | value);
}

int32_t bz2_decoder_open(std::unique_ptr<bz2_decoder>& out, const file_ptr& input,
                         abort_callback& abort) {
  out.reset(new (std::nothrow) bz2_decoder());
  if (!out) throw plix::bad_alloc();
  bz2_decoder& d = *out;
  d.input = input;
  d.abort = &abort;
  build_crc_tables(d.crc_table, d.crc_slices);
  uint32_t header = bz2_read_bits(d, 32);
  if (header < header_first || header > header_last) return bz2_not_bzip2_data;
  set_capacity(d, header - header_first + 1);
  return bz2_ok;
}

bool bz2_next_stream(bz2_decoder& d) {
  d.bit_count -= d.bit_count % 8;
  uint32_t header = 0;
  for (int i = 0; i < 4; ++i) {
    int byte = next_byte(d);
    if (byte < 0) return false;
    header = header << 8 | static_cast<uint32_t>(byte);
    // Stop at the first byte that cannot continue a header.
    if ((header_first >> (24 - 8 * i)) != header && i < 3) return false;
  }
  if (header < header_first || header > header_last) return false;
  set_capacity(d, header - header_first + 1);
  d.copies_left = 0;
  d.link = 0;
  d.run_countdown = 0;
  d.entries_left = 0;
  d.current_byte = 0;
  d.stored_crc = 0;
  d.combined_crc = 0;
  d.block_crc = 0;
  // Each stream decodes as it would alone: tables start from zero.
  std::memset(d.groups, 0, sizeof d.groups);
  return true;
}

int32_t bz2_decode_block(bz2_decoder& d) {
  uint32_t magic_high = bz2_read_bits(d, 24);
  uint32_t magic_low = bz2_read_bits(d, 24);
  d.stored_crc = bz2_read_bits(d, 32);
  if (magic_high == end_magic_high && magic_low == end_magic_low) return bz2_end_of_stream;
  if (magic_high != block_magic_high || magic_low != block_magic_low) return bz2_not_bzip2_data;
  if (bz2_read_bits(d, 1) != 0) return bz2_obsolete_input;
  uint32_t origin = bz2_read_bits(d, 24);
  if (origin > d.capacity) return bz2_data_error;

  block_header h;
  int32_t result = read_block_tables(d, h);
  if (result != bz2_ok) return result;

  uint32_t byte_counts[256] = {};
  uint32_t n = 0;
  result = decode_symbols(d, h, byte_counts, n);
  if (result != bz2_ok) return result;

  if (n != 0) {
    if (origin >= n) return bz2_data_error;
    d.current_byte = static_cast<int32_t>(block_entries(d)[origin] & byte_mask);
    d.run_countdown = 5;
    invert_transform(d, byte_counts, n, origin);
  }
  d.link = 0;
  d.entries_left = static_cast<int32_t>(n);
  return bz2_ok;
}

int32_t bz2_read(bz2_decoder& d, uint8_t* buffer) {
  if (d.entries_left < 0) return d.entries_left;

  const uint8_t* const text = d.text.data();
  uint32_t copies = static_cast<uint32_t>(d.copies_left);
  uint32_t link = static_cast<uint32_t>(d.link);
  int32_t countdown = d.run_countdown;
  int32_t entries = d.entries_left;
  uint32_t current = static_cast<uint32_t>(d.current_byte);
  uint8_t* out = buffer;
  uint8_t* const out_end = buffer + bz2_chunk_size;
  // The block CRC covers [block_start, out) of this chunk once the block
  // ends or the chunk is handed out.
  const uint8_t* block_start = buffer;

  // A call that stops inside a block always holds a byte back, so no copy
  // pending means no block has started yet.
  if (copies == 0) goto next_block;
  --copies;

emit:
  if (out == out_end) {
    d.block_crc = crc_update(d, d.block_crc, block_start, out - block_start);
    d.copies_left = static_cast<int32_t>(copies + 1);
    d.link = static_cast<int32_t>(link);
    d.run_countdown = countdown;
    d.entries_left = entries;
    d.current_byte = static_cast<int32_t>(current);
    return static_cast<int32_t>(bz2_chunk_size);
  }
  *out++ = static_cast<uint8_t>(current);
pending:
  if (copies != 0) {
    --copies;
    goto emit;
  }
fetch:
  // Four equal bytes are followed by a count of further copies; the
  // countdown restarts whenever the byte changes.
  while (entries != 0) {
    --entries;
    uint32_t previous = current;
    current = text[link++];
    if (--countdown == 0) {
      copies = current;
      current = previous;
      countdown = 5;
      goto pending;
    }
    if (current != previous) countdown = 4;
    if (out == out_end) goto emit;
    *out++ = static_cast<uint8_t>(current);
  }

  // Block end.
  d.block_crc = ~crc_update(d, d.block_crc, block_start, out - block_start);
  d.combined_crc = ((d.combined_crc << 1) | (d.combined_crc >> 31)) ^ d.block_crc;
  if (d.block_crc != d.stored_crc) {
    // Make the stream check fail too; this call's bytes are not delivered.
    d.combined_crc = d.stored_crc + 1;
    d.entries_left = bz2_end_of_stream;
    d.copies_left = 0;
    return bz2_end_of_stream;
  }

next_block : {
  int32_t result = bz2_decode_block(d);
  if (result != bz2_ok) {
    d.entries_left = result;
    d.copies_left = 0;
    return result == bz2_end_of_stream ? static_cast<int32_t>(out - buffer) : result;
  }
  d.block_crc = 0xFFFFFFFFu;
  block_start = out;
  link = static_cast<uint32_t>(d.link);
  countdown = d.run_countdown;
  entries = d.entries_left;
  current = static_cast<uint32_t>(d.current_byte);
  copies = 0;
  goto fetch;
}
}

void bz2_decompress(const file_ptr& input, const file_ptr& output, abort_callback& abort) {
  uint8_t chunk[bz2_chunk_size];
  std::unique_ptr<bz2_decoder> decoder;
  int32_t outcome = bz2_decoder_open(decoder, input, abort);
  bz2_decoder& d = *decoder;
  while (outcome == bz2_ok) {
    int32_t got;
    while ((got = bz2_read(d, chunk)) > 0) output->write(chunk, static_cast<uint32_t>(got), abort);
    outcome = d.entries_left;
    // A clean end may be followed by another stream.
    if (outcome == bz2_end_of_stream && d.stored_crc == d.combined_crc && bz2_next_stream(d)) {
      outcome = bz2_ok;
    }
  }
  if (outcome == bz2_end_of_stream && d.stored_crc == d.combined_crc) return;
  // A CRC mismatch has no text of its own and reads "Unknown exception".
  throw sonovale_io::exception_io_data(bz2_error_text(outcome));
}

const char* bz2_error_text(int32_t code) {
  switch (code) {
    case bz2_not_bzip2_data: return "Not BZIP2 data";
    case bz2_data_error: return "Data error";
    case bz2_obsolete_input: return "Obsolete input";
    default: return nullptr;
  }
}
