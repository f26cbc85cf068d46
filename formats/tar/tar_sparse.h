// Sparse TAR members: the maps of the data segments a sparse member stores,
// in the old GNU form (type "S" headers and their extension blocks) and the
// pax GNU forms 0.0, 0.1 and 1.0, and the placing of the stored segments
// into the member's content, whose holes read as zeros.
//
// A member's stored data is its segments' bytes one after another; the
// segment at offset O of length N fills bytes O to O + N - 1 of the content.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "io/file.h"

struct tar_segment {
  uint64_t offset;
  uint64_t length;
};
using tar_sparse_map = std::vector<tar_segment>;

// Appends up to `count` old GNU entries (offset and byte count, 12 bytes
// each) at `entries` to `map`. Returns false when an entry whose byte count
// field starts with NUL ended the map, true when all `count` were read.
// Throws exception_io_data for a negative number.
bool add_gnu_sparse_entries(const uint8_t* entries, uint32_t count, tar_sparse_map& map);

// Appends the segments of a GNU sparse 0.1 map, "offset,length,..." in
// decimal, to `map`. Throws exception_io_data for any other text, an odd
// count of numbers included.
void add_sparse_map_list(std::string_view text, tar_sparse_map& map);

// Reads the map that GNU sparse 1.0 puts at the start of a member's stored
// data, from `archive`'s position: decimal lines, the segment count and
// then each offset and length, padded to whole 512-byte blocks. Appends the
// segments to `map` and returns the bytes the map takes, whole blocks,
// leaving `archive` after them. Throws exception_io_data when the text is
// malformed, longer than tar_pax_limit or than `stored_size`;
// exception_io_data_truncation when the archive ends first.
uint64_t read_sparse_map_blocks(sonovale_io::file& archive, uint64_t stored_size,
                                tar_sparse_map& map, abort_callback& abort);

// Checks `map` against a member of `size` bytes that stores `stored_size`
// bytes: segments in increasing order without overlap, inside the member,
// their lengths adding up to no more than the stored data. An empty map
// gets one empty segment at the member's end, so that the map of a sparse
// member is never empty. Throws exception_io_data when a check fails.
void check_sparse_map(tar_sparse_map& map, uint64_t size, uint64_t stored_size);

// Reads the segments' bytes from `archive`'s position and places each at
// its offset in `content`, which holds the whole member and is zero
// elsewhere. `map` has passed check_sparse_map for that size. Throws
// exception_io_data_truncation when the archive ends first and
// exception_aborted between reads.
void place_sparse_segments(sonovale_io::file& archive, const tar_sparse_map& map, uint8_t* content,
                           abort_callback& abort);
