// Decoded views of gzip files: the view format of type "gz", whose passes
// inflate a gzip file's content from its start or from a checkpoint
// through the gzip inflater, and the pass that decodes a file whole.
//
// A pass gives every member's content, members that follow one another
// followed, trailing bytes that do not start a member ignored, and fails
// where the damage lies with the exceptions gzip_archive.h lists; a view's
// pass never reads the trailer's announcement, so refuses no size (a
// view's content may be of any size). Checkpoints lie at deflate block boundaries
// about every `spacing` bytes of output (docs/design.md says what they
// hold). A member's CRC-32 and length are checked at its trailer: bytes
// served before it are checked only by the deflate structure. A view's
// pass never writes past the count decode returns, in a buffer that may be
// the host's own. Memory per pass: ISA-L's state (about 85 KiB), zlib's, a
// 128 KiB input buffer and output stage, two 32 KiB windows. The abort
// callback is polled before every 1 MiB of output.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/view_format.h"

// The gzip view format with its checkpoints `spacing` bytes of output
// apart (at least 1). The module registers one with 8 MiB; tests make
// others to place a checkpoint at every block boundary.
class gzip_view_engine final : public sonovale_io::view_format {
 public:
  static constexpr uint64_t default_spacing = uint64_t{8} << 20;

  explicit gzip_view_engine(uint64_t spacing = default_spacing)
      : spacing_(spacing != 0 ? spacing : 1) {}

  const char* type_name() const override { return "gz"; }

  // A pass over `source` from its first byte, whatever its position, or
  // from `from`. A pass from the start reads the first bytes at once and
  // throws exception_io_data "Not GZIP data" for fewer than 18 bytes or no
  // 0x1F 0x8B at the start. A checkpoint whose state this format did not
  // write throws exception_io_data " internal usage bug". Host failures
  // and the user's abort are thrown as decode throws them.
  std::unique_ptr<sonovale_io::view_pass> start(const sonovale_io::file_ptr& source,
                                                const sonovale_io::view_checkpoint* from,
                                                sonovale_io::checkpoint_sink& sink,
                                                abort_callback& abort) override;

  // True, after throwing what gzip_start_whole_pass throws for `source`.
  bool decodes_whole_files_through_views(const sonovale_io::file_ptr& source,
                                         abort_callback& abort) override;

 private:
  uint64_t spacing_;
};

// The registered gzip view format (checkpoints every 8 MiB).
sonovale_io::view_format& gzip_view_format();

// A pass over the whole content of `source` for decoding it into one file
// (gzip_inflate_into): a pass from the start that records no checkpoints
// and first reads the size the last trailer announces into `announced`,
// throwing exception_io_data " unsupported file feature; gzip larger than
// 2GB" for 2^31 or more. Without `keep_bytes_past_output`, decode may
// change up to 16 bytes of its buffer past those it returns, within the
// capacity given (ISA-L writes ahead; keeping them costs a copy). Throws
// as gzip_view_engine::start.
std::unique_ptr<sonovale_io::view_pass> gzip_start_whole_pass(const sonovale_io::file_ptr& source,
                                                              bool keep_bytes_past_output,
                                                              uint32_t& announced,
                                                              abort_callback& abort);
