#include "formats/bzip2/bz2_block_finder.h"

#include "formats/bzip2/bz2_block.h"

namespace {

constexpr uint64_t magic_mask = (uint64_t{1} << 48) - 1;

// After each byte, the window holds the last 64 bits; the magic ending at
// bit 7 - t of the latest byte is (window >> t) & magic_mask, t = 0 to 7.
// Whatever t, the two bytes before the latest lie wholly inside the magic,
// so they rule out most shifts at a glance: bit t of second[b] (third[b])
// says that byte b can be the second-latest (third-latest) byte of a magic
// at shift t.
struct prefilter {
  uint8_t second[256];
  uint8_t third[256];
};

constexpr prefilter make_prefilter() {
  prefilter p{};
  for (int t = 0; t < 8; ++t) {
    uint64_t shifted = bz2_block_magic << t;
    p.second[(shifted >> 8) & 0xFF] |= static_cast<uint8_t>(1 << t);
    p.third[(shifted >> 16) & 0xFF] |= static_cast<uint8_t>(1 << t);
  }
  return p;
}

constexpr prefilter g_prefilter = make_prefilter();

}  // namespace

// Most bytes cost a shift, two table loads and a test.
void bz2_block_finder::scan(const uint8_t* data, size_t count, std::deque<uint64_t>& found) {
  uint64_t window = window_;
  for (size_t i = 0; i < count; ++i) {
    window = window << 8 | data[i];
    uint32_t shifts =
        g_prefilter.second[(window >> 8) & 0xFF] & g_prefilter.third[(window >> 16) & 0xFF];
    if (shifts == 0) continue;
    // The magic at shift t starts 48 + t bits before the end of this byte,
    // which must not lie before the first byte scanned.
    uint64_t end_bit = (next_byte_ + i + 1) * 8;
    for (int t = 7; t >= 0; --t) {
      if ((shifts >> t & 1) == 0 || ((window >> t) & magic_mask) != bz2_block_magic) continue;
      uint64_t length = 48 + static_cast<uint64_t>(t);
      if (end_bit >= first_byte_ * 8 + length) found.push_back(end_bit - length);
    }
  }
  window_ = window;
  next_byte_ += count;
}
