// The gzip file format (RFC 1952): its fixed sizes, the recognition of a
// gzip file by its first bytes, and the size its last trailer announces.
//
// A file is a series of members, each a header of at least 10 bytes,
// deflate data and an 8-byte trailer: the CRC-32 of the member's content
// and its size modulo 2^32 (ISIZE), little-endian. The announced size is
// the last trailer's ISIZE: a guess, not a promise, until inflation has
// reached every member's end and checked its trailer.
#pragma once

#include <cstdint>

#include "archive/data_reader.h"

// A gzip file holds at least a 10-byte header and an 8-byte trailer.
constexpr uint32_t gzip_min_file_size = 18;
constexpr uint32_t gzip_trailer_size = 8;
// The most of a member's output that deflate refers back to: the window a
// resumed inflation needs.
constexpr uint32_t gzip_window_size = 32768;
// The first read of a file takes only what recognition needs.
constexpr uint32_t gzip_first_read_size = 4096;
// Announced sizes with the top bit of ISIZE set are refused where the
// content is decoded into one in-memory file.
constexpr uint32_t gzip_max_announced_size = 0x7FFFFFFF;

// The message of the exception_io_data for a file that is not gzip.
constexpr char gzip_not_gzip[] = "Not GZIP data";

// Whether the two bytes at `p` are a member's magic, 0x1F 0x8B.
inline bool gzip_starts_member(const uint8_t* p) {
  return p[0] == 0x1F && p[1] == 0x8B;
}

// The first bytes of a file, as gzip_read_start reads them.
struct gzip_start {
  uint8_t first[gzip_first_read_size];
  uint32_t count = 0;    // bytes held in `first`
  bool is_gzip = false;  // at least gzip_min_file_size bytes starting with the magic
};

// Reads up to gzip_first_read_size bytes from the first byte of `source`
// (moving it there when it stands elsewhere) into `out`. Errors: the
// source's texts.
error_text gzip_read_start(File_Reader& source, gzip_start& out);

// Reads the last trailer's ISIZE into `announced`, leaving `source` where
// it stood. Errors: " unsupported file feature; gzip larger than 2GB" for
// more than gzip_max_announced_size; the source's texts.
error_text gzip_read_announced_size(File_Reader& source, uint32_t& announced);
