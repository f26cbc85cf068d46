#include "formats/bzip2/bz2_expand.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t crc_polynomial = 0x04C11DB7;

// `bytes` is the byte table; slice k holds the effect of a byte followed
// by k + 1 zero bytes, so that eight bytes take one step.
struct crc_tables {
  uint32_t bytes[256];
  uint32_t slices[7][256];
};

constexpr crc_tables make_crc_tables() {
  crc_tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc << 1) ^ ((crc & 0x80000000u) ? crc_polynomial : 0);
    t.bytes[i] = crc;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = t.bytes[i];
    for (int k = 0; k < 7; ++k) {
      crc = (crc << 8) ^ t.bytes[crc >> 24];
      t.slices[k][i] = crc;
    }
  }
  return t;
}

constexpr crc_tables g_crc = make_crc_tables();

uint32_t load_big_endian(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

}  // namespace

uint32_t bz2_crc_update(uint32_t crc, const uint8_t* data, size_t count) {
  const uint32_t(*s)[256] = g_crc.slices;
  for (; count >= 8; count -= 8, data += 8) {
    uint32_t a = crc ^ load_big_endian(data);
    uint32_t b = load_big_endian(data + 4);
    crc = s[6][a >> 24] ^ s[5][(a >> 16) & 0xFF] ^ s[4][(a >> 8) & 0xFF] ^ s[3][a & 0xFF] ^
          s[2][b >> 24] ^ s[1][(b >> 16) & 0xFF] ^ s[0][(b >> 8) & 0xFF] ^ g_crc.bytes[b & 0xFF];
  }
  for (size_t i = 0; i < count; ++i) crc = (crc << 8) ^ g_crc.bytes[(crc >> 24) ^ data[i]];
  return crc;
}

void bz2_expand_start(bz2_expander& e, const uint8_t* text, uint32_t size) {
  e = bz2_expander{};
  e.text = text;
  e.entries_left = size;
  // Any first byte restarts the count of equal bytes at four to go.
  e.run_countdown = 5;
  e.crc = 0xFFFFFFFFu;
}

void bz2_copy_start(bz2_expander& e, const uint8_t* bytes, uint32_t count, uint32_t crc) {
  e = bz2_expander{};
  e.copy_from = bytes;
  e.copy_left = count;
  e.crc = ~crc;
}

namespace {

uint8_t* copy_bytes(bz2_expander& e, uint8_t* out, uint8_t* const out_end) {
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(e.copy_left, out_end - out));
  std::memcpy(out, e.copy_from, n);
  e.copy_from += n;
  e.copy_left -= n;
  e.finished = e.copy_left == 0;
  return out + n;
}

}  // namespace

// The state lives in locals for the loop. Bytes are emitted one at a time:
// most text bytes are literals, and a repeat count adds at most 255
// copies. The CRC covers [start, out) once the loop stops.
uint8_t* bz2_expand(bz2_expander& e, uint8_t* out, uint8_t* const out_end) {
  if (e.copy_from != nullptr) return copy_bytes(e, out, out_end);
  const uint8_t* const text = e.text;
  uint8_t* const start = out;
  uint32_t copies = e.copies_left;
  uint32_t link = e.link;
  int32_t countdown = e.run_countdown;
  uint32_t entries = e.entries_left;
  uint32_t current = e.current_byte;

  // A call that stops inside the block always holds a byte back.
  if (copies == 0) goto fetch;
  --copies;

emit:
  if (out == out_end) {
    e.crc = bz2_crc_update(e.crc, start, out - start);
    e.copies_left = copies + 1;
    e.link = link;
    e.run_countdown = countdown;
    e.entries_left = entries;
    e.current_byte = current;
    return out;
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

  e.crc = bz2_crc_update(e.crc, start, out - start);
  e.copies_left = 0;
  e.link = link;
  e.entries_left = 0;
  e.finished = true;
  return out;
}
