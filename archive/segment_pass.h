// A pass that decodes a compressed file's content on every core: the
// stretches between checkpoints the content index knows (segments of about
// 8 MiB) are decoded at once on worker threads, each by a pass of the
// format started at the segment's first checkpoint, and handed out in
// order; past the last checkpoint an ordinary pass goes on to the end.
//
// Nothing is taken on trust. A segment's bytes are served only once its
// pass has decoded the whole segment and reported, exactly at its end, the
// checkpoint that starts the next one, state for state: so each checkpoint
// is confirmed by decoding from the one before, back to where this pass
// started (the content's start, or a checkpoint confirmed before). Where a
// segment fails (damage, a checkpoint that disagrees, an abort, memory),
// the pass forgets the file's index when it disagreed and goes on
// sequentially from the last place it confirmed, so that every byte and
// every failure are what a sequential pass gives at that point.
//
// Memory: at most `workers` + 2 segments decoded ahead, each held whole
// (about 8 MiB), beside each worker's decoder. Workers stop within 1 MiB
// of output (the formats' abort polling) once the pass is destroyed.
#pragma once

#include <memory>

#include "archive/content_index.h"
#include "archive/view_format.h"

namespace sonovale_io {

// The segment pass over `source` from `from` (null: the content's start,
// otherwise a confirmed checkpoint of `entry`), or null when the entry
// knows too few checkpoints ahead for two segments. Checkpoints past the
// last known one go to `sink`. `workers` threads decode (at least 1); a
// segment ends at the first checkpoint at least `segment_bytes` of output
// past its start (8 MiB; tests make them smaller). Holds references to
// `source` and `entry`; `format` and `sink` outlive it.
std::unique_ptr<view_pass> start_segment_pass(view_format& format, const file_ptr& source,
                                              const std::shared_ptr<content_entry>& entry,
                                              const view_checkpoint* from, checkpoint_sink& sink,
                                              unsigned workers, abort_callback& abort,
                                              uint64_t segment_bytes = uint64_t{8} << 20);

// The number of workers a segment pass uses on this machine: one per
// processor the process may run on, at most 8.
unsigned segment_workers();

}  // namespace sonovale_io
