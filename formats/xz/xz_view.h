// Decoded views of xz files (archive/view_format.h): passes of the xz
// decoder, block by block (formats/xz_decoder.h), that start at the
// beginning of a file or at a block an earlier pass reached.
//
// A pass from the start reads each stream header itself, decodes each
// block with liblzma's block decoder, checks each stream's index against
// the blocks it decoded and its footer against its header, then the
// stream padding and the next stream. It gives exactly the bytes of
// xz_decode_into (formats/xz/xz_archive.h), and refuses every file that refuses, with
// exception_io_data: "Corrupt XZ data", "Unsupported XZ feature" or
// truncation, mostly as decoding whole does; where several faults meet the
// two may name different ones first.
//
// Checkpoints come from decoding alone. A pass reports one at a block's
// start once it has reached it, every block before it in the pass decoded
// with its integrity check passed: its output position is the pass's own
// output count, its state the block header's file offset, the block's
// number in its stream and the stream's check type. A file of one block
// has no checkpoint and is read sequentially.
//
// The file's index, when the file ends in a well-formed one, is a hint: a
// pass from the start reads it first and holds each block, as it begins,
// to its record (file offset, unpadded and uncompressed sizes), so that a
// block the index misplaces or mis-sizes is "Corrupt XZ data" at that
// block's end (at its start when the block header records its sizes, or
// the index has no record there) instead of at the stream's index. No
// position or size it gives is reported or decides a byte served.
//
// A pass started at a checkpoint decodes that block and the stream's later
// blocks, checks them against the records of the stream's index from that
// block on and the footer, and goes on with the later streams as from the
// start.
//
// Verification: a block's integrity check is verified when the pass
// reaches the block's end, a stream's index and footer when it reaches
// them. Bytes served before that are checked only by the block's
// structure: damage that leaves it intact is reported ("Corrupt XZ data")
// when the block ends, after its bytes were served.
//
// Memory per pass: liblzma's single-threaded block decoder (the dictionary
// the file's filters name: 8 MiB at the default level, 64 MiB at -9), a
// 256 KiB input buffer, the sizes of the stream's blocks decoded so far,
// and the file's index (bounded by xz_index_memory_limit).
#pragma once

#include "archive/view_format.h"

// The view format for type "xz", a static singleton.
sonovale_io::view_format& xz_view_format();
