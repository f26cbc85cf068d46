// TAR header records: field layout, numeric fields and the checksum.
//
// A header is a 512-byte record. Numbers are octal text, or base 64 after a
// "+"/"-" sign, or big-endian base 256 after a 0x80/0xFF marker byte.
#pragma once

#include <cstdint>

constexpr uint32_t tar_block_size = 512;

// Offsets and widths of the header fields the reader uses.
constexpr uint32_t tar_name_offset = 0;
constexpr uint32_t tar_name_width = 100;
constexpr uint32_t tar_size_offset = 124;
constexpr uint32_t tar_size_width = 12;
constexpr uint32_t tar_checksum_offset = 148;
constexpr uint32_t tar_checksum_width = 8;
constexpr uint32_t tar_type_offset = 156;
constexpr uint32_t tar_magic_offset = 257;    // "ustar" NUL (POSIX) or "ustar " (GNU)
constexpr uint32_t tar_version_offset = 263;  // "00" (POSIX) or " " NUL (GNU)
// POSIX ustar: the leading part of a path too long for the name field.
constexpr uint32_t tar_prefix_offset = 345;
constexpr uint32_t tar_prefix_width = 155;

// Old GNU sparse entries (type "S"): four map entries in the header, a flag
// saying extension blocks of 21 more follow, and the file's real size. Each
// entry is an offset and a byte count of 12 bytes each.
constexpr uint32_t tar_gnu_sparse_offset = 386;
constexpr uint32_t tar_gnu_sparse_entries = 4;
constexpr uint32_t tar_gnu_is_extended_offset = 482;
constexpr uint32_t tar_gnu_real_size_offset = 483;
constexpr uint32_t tar_gnu_extension_entries = 21;
constexpr uint32_t tar_gnu_extension_is_extended_offset = 504;
constexpr uint32_t tar_sparse_entry_width = 24;
constexpr uint32_t tar_number_width = 12;

// Reads the numeric field of `width` bytes at `field`. A leading NUL is
// stepped over, then spaces. A field that ends there (no digits: all
// spaces, all NULs), or that then starts with anything but a digit, sign
// or base-256 marker, reads as 0, as other readers take it. Digits
// accumulate in 64 bits and wrap around; the result is the
// two's-complement reading of those 64 bits. Never reads past `width`.
int64_t parse_tar_number(const uint8_t* field, uint32_t width);

// Accepts the header when its checksum field equals the sum of its bytes
// (checksum bytes counted as spaces), taken either unsigned or signed, as
// old writers did. Throws exception_io_data otherwise.
void verify_tar_checksum(const uint8_t* header);
