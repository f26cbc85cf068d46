// The fingerprint of a compressed file's content: a 64-bit hash of its first
// and last 64 KiB, with its size. It tells apart two files of one path, size
// and time stamp (a file rewritten in place, then stamped with the old time,
// as `cp -p` and `rsync -t` do), so that what was learnt from one is never
// applied to the other. Not a check of the whole content: decoding checks that.
#pragma once

#include <cstdint>

#include "io/file.h"

// The bytes hashed at each end of the file.
constexpr uint32_t content_fingerprint_span = 64 << 10;

// Reads the first and last content_fingerprint_span bytes of `source`, whose
// size is `size` (known), through its interface and hashes them; the file is
// left at position 0. Throws exception_io_data_truncation when the file holds
// fewer bytes than `size`, and what reading, seeking and `abort` throw.
uint64_t content_fingerprint(sonovale_io::file& source, uint64_t size, abort_callback& abort);
