// Decoded views of zstd files (archive/view_format.h): passes of the zstd
// decoder that start at the beginning of a file or at any frame.
//
// A pass from the start gives exactly the bytes of zstd_decode_into
// (formats/zstd/zstd_archive.h), or its exception with the same class and message, and
// reports a checkpoint at the start of every frame after the first
// (skippable frames included) as it reaches it. A pass started at a
// checkpoint decodes from that frame on. A file of one frame is read
// sequentially.
//
// Verification: a frame's checksum, when it has one, is verified when the
// pass reaches the frame's end; bytes served before that are checked only
// by the frame's structure.
//
// Memory per pass: libzstd's decoder with its window (up to 128 MiB; 8 MiB
// or less at the levels below 19) and a 128 KiB input buffer.
#pragma once

#include "archive/view_format.h"

// The view format for type "zst", a static singleton.
sonovale_io::view_format& zstd_view_format();
