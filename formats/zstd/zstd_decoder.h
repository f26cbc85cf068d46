// The zstd decoder: every frame of a zstd file decoded in order through
// the system's libzstd, and the content size the frames declare.
//
// A file is a sequence of frames: zstd frames (magic 28 B5 2F FD), each
// with an optional checksum of its content, and skippable frames (magic
// 5? 2A 4D 18), which hold no content. Every checksum present is verified.
// After a frame the file ends or another frame starts: other bytes are
// refused, as `zstd -dc` refuses them (corrupt; a frame's magic followed
// by too little is a frame cut short). Windows are limited to libzstd's
// default of 128 MiB, as the zstd tool limits them.
//
// Failures, with their fixed messages:
//   exception_io_data "Not ZSTD data"            the file does not start a
//                                                frame (an empty file)
//   exception_io_data "Corrupt ZSTD data"        damaged headers, blocks or
//                                                checksums, a frame whose
//                                                content is not the size
//                                                its header declares, bytes
//                                                after a frame that start
//                                                no frame
//   exception_io_data "Unsupported ZSTD feature" reserved header bits, a
//                                                window over the limit, a
//                                                frame that needs a dictionary
//   exception_io_data_truncation                 the file ends inside a frame
//   plix::bad_alloc                              memory cannot be had
// The user's abort and the host file's failures pass through.
#pragma once

#include <cstdint>

#include "archive/stream_input.h"
#include "archive/view_format.h"

struct ZSTD_DCtx_s;

constexpr char zstd_not_zstd[] = "Not ZSTD data";
constexpr char zstd_corrupt[] = "Corrupt ZSTD data";
constexpr char zstd_unsupported[] = "Unsupported ZSTD feature";

// The sum of the content sizes the frames of `source` declare, walking the
// frames' headers and block headers from offset 0 without decoding.
// unknown_size when a frame declares no size, the frames are damaged or
// cut short, or bytes that start no frame follow them (the decoder refuses
// such a file). Throws "Not ZSTD data"
// and truncation as zstd_decoder::start does, and what the file and abort
// throw.
uint64_t zstd_declared_size(const sonovale_io::file_ptr& source, abort_callback& abort);

// Decodes a zstd file's content. Holds a reference to the source; used by
// one thread at a time.
class zstd_decoder final : public sonovale_io::view_pass {
 public:
  // Frame starts after the first are reported to `sink` when given, as
  // checkpoints whose state is the frame's file offset (8 bytes,
  // little-endian).
  zstd_decoder(sonovale_io::file_ptr source, sonovale_io::checkpoint_sink* sink);
  ~zstd_decoder() override;
  zstd_decoder(const zstd_decoder&) = delete;
  zstd_decoder& operator=(const zstd_decoder&) = delete;

  // Starts at the file's first byte, whatever its position, and checks
  // the magic at once. Throws "Not ZSTD data", truncation for a
  // non-empty file shorter than a magic, and plix::bad_alloc.
  void start(abort_callback& abort);
  // Starts at the frame at file offset `offset`, whose content begins at
  // `output_position`; the offset must come from a checkpoint of this file.
  void start_at_frame(uint64_t offset, uint64_t output_position, abort_callback& abort);

  // As view_pass::decode. Polls `abort` at least every 1 MiB of output.
  size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) override;

 private:
  // Notes where the frame at the input's position starts in the content and
  // the content size its header declares, if any.
  void begin_frame(abort_callback& abort);
  // After a frame: checks its declared size, then starts the next frame,
  // reporting its checkpoint, or ends the content.
  void after_frame(abort_callback& abort);

  stream_input input_;
  sonovale_io::checkpoint_sink* sink_;
  ZSTD_DCtx_s* context_ = nullptr;
  uint64_t output_ = 0;
  uint64_t frame_start_ = 0;
  uint64_t frame_declared_ = ~uint64_t{0};  // unknown until a frame begins
  bool ended_ = false;
};
