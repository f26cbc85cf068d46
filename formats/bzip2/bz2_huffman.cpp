#include "formats/bzip2/bz2_huffman.h"

#include <algorithm>

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
        entry = static_cast<uint16_t>(g.sorted_symbols[index] | length << bz2_lookup_length_shift);
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
