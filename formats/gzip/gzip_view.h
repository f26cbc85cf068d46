// Decoded views of gzip files: the view format of type "gz", whose passes
// inflate a gzip file's content from its start or from a checkpoint,
// through the gzip inflater (formats/gzip/gzip_inflater.h: ISA-L, judged by
// zlib).
//
// A pass from the start gives exactly the bytes of gzip_inflate_into
// (formats/gzip/gzip_archive.h), or its exception with the same class and message at the
// same point: every member inflated, members that follow one another
// followed, trailing bytes that do not start a member ignored. The one
// difference: a pass never reads the size the last trailer announces, so an
// announcement of 2^31 or more is not refused (a view's content may be of
// any size; the limit belongs to decoding into one in-memory file).
//
// Checkpoints lie at deflate block boundaries: the first boundary at or
// past `spacing` bytes of output after the previous checkpoint (the content's
// start counts as one). The rule depends on the content alone, so a pass
// resumed at a checkpoint reports the same later checkpoints again. Each
// holds the input bit position, the last 32 KiB of its member's output,
// the member's number, and the member's CRC-32 and length so far, so that a
// pass resumed there gives exactly the same bytes and still checks that
// member's trailer.
//
// Verification: a member's CRC-32 and length are checked when a pass
// reaches its trailer. Bytes served before that are checked only by the
// deflate structure: damage that leaves the structure intact is reported
// (" corrupt file") when the member ends, after its bytes were served.
//
// A pass never writes past the count decode returns in the buffer it is
// given, which may be the host's own.
//
// Memory per pass: the inflater's (ISA-L's state of about 85 KiB, zlib's, a
// 128 KiB input buffer, a 128 KiB output stage, two 32 KiB windows), and
// one window copy while a checkpoint is recorded. The abort callback is polled before every 1 MiB
// of output.
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
