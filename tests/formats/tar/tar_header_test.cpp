#include "formats/tar/tar_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "io/exceptions.h"
#include "tests/support/expect_throw.h"

namespace {

int64_t parse(const std::string& field) {
  return parse_tar_number(reinterpret_cast<const uint8_t*>(field.data()),
                          static_cast<uint32_t>(field.size()));
}

TEST(ParseTarNumber, Fields) {
  struct row {
    const char* what;
    std::string field;
    int64_t expected;
  };
  const row rows[] = {
      {"octal, space-terminated", "00000001750 ", 1000},
      {"octal followed by NULs", std::string("1750\0\0\0\0\0\0\0\0", 12), 1000},
      {"leading NUL is stepped over",
       std::string("\0"
                   "1750\0\0\0\0\0\0\0",
                   12),
       1000},
      {"leading spaces", "     1750   ", 1000},
      {"octal filling the whole field", "777777777777", 0777777777777},
      {"octal stops at a non-octal digit", "17x         ", 15},
      {"octal stops at 8", "0008        ", 0},
      {"field of spaces has no digits", "            ", 0},
      {"NUL then spaces has no digits", std::string("\0           ", 12), 0},
      {"all NULs", std::string(12, '\0'), 0},
      {"anything else", "x1750       ", 0},
      {"base 64", "+Po", 1000},
      {"base 64 negative", "-Po", -1000},
      {"base 64 stops outside the alphabet", "+Po 7", 1000},
      {"base 64 without digits", "+*", 0},
      {"high byte after a sign is not a digit",
       "+\xC0"
       "A",
       0},
      {"base 64 wraps in 64 bits", "+///////////", -1},
      {"base 256", std::string("\x80\0\0\0\0\0\0\x01\0\0\0\x05", 12), (int64_t{1} << 32) + 5},
      {"base 256 negative", std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFE", 12),
       -2},
      {"base 256 wraps in 64 bits",
       std::string("\x80\x12\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 12), -1},
      {"base 256 marker in the last byte", "           \x80", 0},
      {"negative marker in the last byte", "           \xFF", -1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(parse(r.field), r.expected);
  }
}

TEST(ParseTarNumber, NeverReadsPastTheWidth) {
  const std::string field = "17501750";
  EXPECT_EQ(parse_tar_number(reinterpret_cast<const uint8_t*>(field.data()), 2), 017);
  EXPECT_EQ(parse_tar_number(reinterpret_cast<const uint8_t*>("  17"), 2), 0);
  EXPECT_EQ(parse_tar_number(reinterpret_cast<const uint8_t*>("+PoP"), 2), 15);
}

// A plausible header with its checksum field written from `sum`.
struct header {
  uint8_t bytes[tar_block_size] = {};

  header() {
    std::memcpy(bytes, "file.txt", 8);
    std::memcpy(bytes + tar_size_offset, "00000001750 ", 12);
    bytes[tar_type_offset] = '0';
  }
  int64_t sum(bool as_signed) const {
    int64_t total = 0;
    for (uint32_t i = 0; i < tar_block_size; ++i) {
      bool in_checksum = i >= tar_checksum_offset && i < tar_checksum_offset + tar_checksum_width;
      uint8_t b = in_checksum ? ' ' : bytes[i];
      total += as_signed ? static_cast<int8_t>(b) : b;
    }
    return total;
  }
  void write_checksum(int64_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%06llo", static_cast<unsigned long long>(value) & 0777777);
    std::memcpy(bytes + tar_checksum_offset, text, 7);
    bytes[tar_checksum_offset + 7] = ' ';
  }
};

TEST(VerifyTarChecksum, AcceptsUnsignedAndSignedSums) {
  header plain;
  plain.write_checksum(plain.sum(false));
  EXPECT_NO_THROW(verify_tar_checksum(plain.bytes));

  header high;  // bytes >= 0x80 make the two sums differ
  high.bytes[1] = 0xE9;
  high.bytes[300] = 0xFF;
  ASSERT_NE(high.sum(false), high.sum(true));
  high.write_checksum(high.sum(false));
  EXPECT_NO_THROW(verify_tar_checksum(high.bytes));
  high.write_checksum(high.sum(true));
  EXPECT_NO_THROW(verify_tar_checksum(high.bytes));
}

TEST(VerifyTarChecksum, RejectsOtherValues) {
  struct row {
    const char* what;
    int64_t delta;
  };
  const row rows[] = {{"one more", 1}, {"one less", -1}, {"off by 256", 256}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    header h;
    h.write_checksum(h.sum(false) + r.delta);
    EXPECT_THROW_EXACT(verify_tar_checksum(h.bytes), sonovale_io::exception_io_data,
                       "Unsupported format or corrupted file");
  }
  header spaces;
  std::memset(spaces.bytes + tar_checksum_offset, ' ', tar_checksum_width);
  EXPECT_THROW_EXACT(verify_tar_checksum(spaces.bytes), sonovale_io::exception_io_data,
                     "Unsupported format or corrupted file");
}

TEST(VerifyTarChecksum, ChangedByteIsCaughtAnywhereButTheChecksum) {
  header h;
  h.write_checksum(h.sum(false));
  for (uint32_t i : {0u, 99u, 147u, 156u, 257u, 511u}) {
    SCOPED_TRACE(i);
    header changed = h;
    changed.bytes[i] ^= 0x01;
    EXPECT_THROW(verify_tar_checksum(changed.bytes), sonovale_io::exception_io_data);
  }
}

}  // namespace
