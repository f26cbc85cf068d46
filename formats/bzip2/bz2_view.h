// Decoded views of bzip2 files (archive/view_format.h): passes of the
// bzip2 decoder that start at the beginning of a file or at any block, and
// the pass through which a file is decoded whole.
//
// A pass reads its source from offset 0, or from where a checkpoint says,
// and reports a checkpoint at every block start and at the start of every
// stream after the first. Each block's CRC is checked before any of its
// bytes are returned, and a stream's CRC whenever the pass reaches that
// stream's end; every failure throws bz2_throw's exception for it
// (bz2_decoder.h). Bytes after the last stream that do not start another
// one end the content.
//
// A pass holds the source, a block decoder (the stream's block size in
// 32-bit entries plus its text: 4.5 MB at the largest) and a buffer of
// 2 MiB. A block that expands to more than the buffer holds is expanded
// twice: once to check its CRC, then again into the caller's buffer.
// With more than one worker (bz2_decoder_threads, at most six for a view's
// pass) a pass also decodes the blocks ahead of it on that many threads
// (bz2_parallel.h), which check each block's CRC as they go: a view's pass
// holds at most about 64 MiB, whatever the number of processors.
#pragma once

#include "archive/view_format.h"

// The view format for type "bz2", a static singleton.
sonovale_io::view_format& bz2_view_format();

// A pass over the whole content of `source` for decoding it into one file
// (bz2_decode_into), whose output is dropped when the pass fails: it starts
// where the file stands, without seeking (a stream is read as it comes)
// and counting that byte as the file's first, records no checkpoints,
// decodes blocks ahead on `workers` threads (1: none; no cap), serves each
// block's bytes as they are expanded and checks its CRC at its end, and
// polls `abort` at every 1 MiB of output. Throws plix::bad_alloc; reads
// nothing before the first decode.
std::unique_ptr<sonovale_io::view_pass> bz2_start_whole_pass(const sonovale_io::file_ptr& source,
                                                             unsigned workers,
                                                             abort_callback& abort);
