#include "formats/bzip2/bz2_transform.h"

#include <algorithm>
#include <cstring>

namespace {

// Walks run this many chains at once: each step is a dependent load from a
// table of megabytes, bound by memory latency, and independent chains keep
// that many loads in flight.
constexpr int walk_lanes = 16;
// Rows that are multiples of this (and the origin row) cut the text into
// segments of about this length on average, a few hundred per block.
constexpr uint32_t seed_spacing = 1024;
constexpr uint32_t max_seeds = 900000 / seed_spacing + 2;

}  // namespace

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
void bz2_invert_transform(uint32_t* block, const uint32_t byte_counts[256], uint32_t n,
                          uint32_t origin, uint8_t* text) {
  uint32_t next[256];
  uint32_t sum = 0;
  for (int b = 0; b < 256; ++b) {
    next[b] = sum;
    sum += byte_counts[b];
  }
  // The k-th occurrence of byte b in the last column belongs to the
  // rotation that sorts k-th among those starting with b.
  for (uint32_t i = 0; i < n; ++i) block[next[block[i] & bz2_byte_mask]++] |= i << bz2_link_shift;

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
    return {s, block[row_of(s)] >> bz2_link_shift, 1};
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
      m.row = block[m.row] >> bz2_link_shift;
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
      return {block[row_of(s)] >> bz2_link_shift, out, out + segment_length[s]};
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
        w.row = e >> bz2_link_shift;
        ++l;
      }
    }
    for (uint64_t done = offset; done < n; done *= 2) {
      std::memcpy(text + done, text, std::min<uint64_t>(done, n - done));
    }
    return;
  }

  uint32_t row = block[origin] >> bz2_link_shift;
  for (uint32_t k = 0; k < n; ++k) {
    uint32_t e = block[row];
    text[k] = static_cast<uint8_t>(e);
    row = e >> bz2_link_shift;
  }
}
