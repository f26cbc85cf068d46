// What a compressed format supplies so that its content can be read as a
// seekable file without decoding it whole: passes of its decoder that start
// at the beginning of the content or at a checkpoint recorded by an earlier
// pass, and the checkpoints themselves.
//
// A decoded view (archive/decoded_view.h) owns one pass at a time. Reading
// forward continues the pass; a seek backward, or far forward past a known
// checkpoint, ends it and starts another at the nearest checkpoint.
// Checkpoints are kept, per compressed file, in the process-wide content
// index, so later views of the same file start where earlier ones left
// marks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "io/file.h"

namespace sonovale_io {

// A place in the content where a pass can start: the output position of
// the first byte decoded from there and what the format needs to resume
// (bit position, window, running checks, ...), opaque to everyone else.
struct view_checkpoint {
  uint64_t output_position = 0;
  std::vector<uint8_t> state;
};

// Receives the checkpoints a pass passes, in increasing output order. A
// pass that started at a checkpoint may report checkpoints that are known
// already; the receiver keeps one per output position. May be called from
// several threads, for different passes.
class checkpoint_sink {
 public:
  virtual void add_checkpoint(view_checkpoint&& checkpoint) = 0;

 protected:
  ~checkpoint_sink() = default;
};

// One decoding pass over a compressed file. Used by one thread at a time.
class view_pass {
 public:
  virtual ~view_pass() = default;

  // Decodes the next bytes of the content into `out`, at most `capacity`,
  // and returns how many. Returns fewer than `capacity` (possibly 0) only
  // at the end of the content, once every check the format makes at its
  // end has passed for this pass (trailers, stream CRCs). Every byte
  // returned has passed the checks that the format allows before it is
  // served (bzip2: its block's CRC); gzip bytes are checked only when
  // their member ends. Polls `abort` at least every 1 MiB of output.
  // Throws the format's own exceptions with their fixed messages, exactly
  // as decoding the whole file would at that point (exception_io_data,
  // exception_io_data_truncation), exception_aborted and plix::bad_alloc;
  // after a throw the pass must not be used again.
  virtual size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) = 0;
};

// A compressed format's side of decoded views. Implementations are static
// singletons registered with register_view_format at load.
class view_format {
 public:
  // The type name of the archive service whose member paths this format's
  // views decode ("gz", "bz2", "xz", "zst").
  virtual const char* type_name() const = 0;

  // Starts a pass over the compressed file `source`, holding a reference to
  // it, at `from`, or at the start of the content when `from` is null.
  // `from` is a checkpoint this format recorded for a file of the same
  // path, size and time stamp. Checkpoints met on the way go to `sink`,
  // which outlives the pass. May read `source` (and throw as decode does)
  // or leave all reading to decode.
  virtual std::unique_ptr<view_pass> start(const file_ptr& source, const view_checkpoint* from,
                                           checkpoint_sink& sink, abort_callback& abort) = 0;

  // True when one pass already decodes on every core (bzip2's blocks): such
  // passes are not also run side by side between checkpoints.
  virtual bool decodes_on_every_core() const { return false; }

  // Whether the content of the whole file `source` may be decoded through
  // a view, and so on every core from the checkpoints the content index
  // holds, where the archive service would otherwise decode it whole with
  // one pass on one core. First throws what that whole-file decoding
  // refuses before any content and a view accepts (gzip: a trailer
  // announcing 2 GiB or more), so that both roads fail alike. False, the
  // default, keeps whole files on the format's own road.
  virtual bool decodes_whole_files_through_views(const file_ptr& /*source*/,
                                                 abort_callback& /*abort*/) {
    return false;
  }

 protected:
  ~view_format() = default;
};

// Adds `format` to the formats that offer views; called during static
// initialisation, before any archive is read.
void register_view_format(view_format& format);

// The format registered for `type_name`, or null.
view_format* find_view_format(const char* type_name);

}  // namespace sonovale_io
