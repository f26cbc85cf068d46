// Decoded views of xz files (archive/view_format.h): passes of the xz
// decoder that start at the beginning of a file or at any block.
//
// A pass from the start decodes every stream in order in the caller's
// thread and gives exactly the bytes of xz_decode_into (formats/xz/xz_archive.h), or
// its exception with the same class and message. When the file ends in a
// well-formed index, such a pass reads it first and reports a checkpoint
// at every block start after the first at once: the index says where each
// block lies, so a later pass can start at any of them without decoding
// what comes before. A file of one block has no checkpoint and is read
// sequentially; so is a file whose end is not a well-formed index.
//
// A pass started at a checkpoint decodes that block (its sizes bound by
// the index) and the stream's later blocks, checks them against the
// stream's index and footer, and goes on with the later streams as from
// the start.
//
// Verification: a block's integrity check is verified when the pass
// reaches the block's end, a stream's index and footer when it reaches
// them. Bytes served before that are checked only by the block's
// structure: damage that leaves it intact is reported ("Corrupt XZ data")
// when the block ends, after its bytes were served.
//
// Memory per pass: liblzma's single-threaded decoder (the dictionary the
// file's filters name: 8 MiB at the default level, 64 MiB at -9) and a
// 256 KiB input buffer.
#pragma once

#include "archive/view_format.h"

// The view format for type "xz", a static singleton.
sonovale_io::view_format& xz_view_format();
