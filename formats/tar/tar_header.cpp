#include "formats/tar/tar_header.h"

#include "io/exceptions.h"

namespace {

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct base64_table {
  // Digit value + 1 for each byte; 0 marks a byte outside the alphabet.
  uint8_t digit_plus_one[256] = {};

  constexpr base64_table() {
    for (uint32_t digit = 0; digit < 64; ++digit)
      digit_plus_one[static_cast<uint8_t>(base64_alphabet[digit])] =
          static_cast<uint8_t>(digit + 1);
  }
};

constexpr base64_table base64_digits;

}  // namespace

int64_t parse_tar_number(const uint8_t* field, uint32_t width) {
  const uint8_t* p = field;
  const uint8_t* end = field + width;
  if (p < end && *p == 0) ++p;
  while (p < end && *p == ' ') ++p;
  if (p == end) return 0;

  // Unsigned arithmetic: an overlong field wraps instead of overflowing.
  uint64_t value = 0;
  uint8_t c = *p;
  if (c >= '0' && c <= '7') {
    for (; p < end && *p >= '0' && *p <= '7'; ++p) value = value * 8 + (*p - '0');
  } else if (c == '+' || c == '-') {
    for (++p; p < end; ++p) {
      uint8_t digit = base64_digits.digit_plus_one[*p];
      if (digit == 0) break;
      value = value * 64 + (digit - 1u);
    }
    if (c == '-') value = 0 - value;
  } else if (c == 0x80 || c == 0xFF) {
    value = c == 0x80 ? 0 : UINT64_MAX;
    for (++p; p < end; ++p) value = (value << 8) | *p;
  }
  return static_cast<int64_t>(value);
}

void verify_tar_checksum(const uint8_t* header) {
  // The eight checksum bytes count as spaces: 8 * 0x20 = 256.
  int64_t unsigned_sum = 256;
  int64_t signed_sum = 256;
  for (uint32_t i = 0; i < tar_block_size; ++i) {
    if (i == tar_checksum_offset) i += tar_checksum_width;
    unsigned_sum += header[i];
    signed_sum += static_cast<int8_t>(header[i]);
  }
  int64_t stored = parse_tar_number(header + tar_checksum_offset, tar_checksum_width);
  if (stored != unsigned_sum && stored != signed_sum) throw sonovale_io::exception_io_data();
}
