// Writing the whole content of a decoder into a file, as the compressed
// formats' archive services and unpackers hand it out.
#pragma once

#include <cstdint>

#include "archive/view_format.h"

// Decodes `pass` to its end into `out` at its position, which ends after
// the content. An in-memory file is filled in place: its capacity reserved
// at once for `expected` bytes (the size the format announces, unknown_size
// when it announces none), grown in doublings when the content is longer,
// and trimmed to the content at the end; nothing is zeroed first. Any
// other file gets writes of `largest_write` bytes (the last one shorter).
// Throws what the pass throws, plix::bad_alloc when the content does not
// fit an in-memory file, and what `out` throws; `out` then holds part of
// the content and must be discarded.
void decode_content_into(sonovale_io::view_pass& pass, uint64_t expected, sonovale_io::file& out,
                         abort_callback& abort, uint32_t largest_write = 64 << 10);
