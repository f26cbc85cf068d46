// The decoded view: a read-only, seekable file over the decompressed
// content of a compressed file, decoded on demand into a bounded buffer.
//
// Reading forward continues the current pass of the format's decoder.
// Seeking is free until the next read; that read then continues the pass
// when the target lies ahead of it (decoding and discarding on the way),
// or starts a new pass at the nearest checkpoint at or before the target
// when the target lies behind the pass or a checkpoint lies well ahead of
// it. Checkpoints, the exact size and the verified mark live in the
// file's content index entry, shared with every other view of the file.
#pragma once

#include <memory>

#include "archive/content_index.h"
#include "archive/view_format.h"
#include "io/byte_array.h"

namespace sonovale_io {

// Created as service_impl_t<decoded_view> and handed out through a service
// pointer. Used by one thread at a time, like any file.
class decoded_view : public file {
 public:
  // Reads `source` (holding a reference to it) as `format` decodes it;
  // `entry` is the source's content index entry. The view's time stamp is
  // `timestamp`.
  decoded_view(view_format& format, file_ptr source, std::shared_ptr<content_entry> entry,
               uint64_t timestamp);
  decoded_view(const decoded_view&) = delete;
  decoded_view& operator=(const decoded_view&) = delete;

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;

  // Reads up to `count` bytes at the position; fewer only at the end of
  // the content. Throws what the format's decoder throws (the exceptions
  // decoding the whole file gives at that point), after which the next
  // read starts a new pass. Polls `abort` at least every 1 MiB decoded.
  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override;
  // Read-only: write and resize throw exception_io_denied.
  void write(const void* buffer, uint32_t count, abort_callback& abort) override;
  void resize(uint64_t size, abort_callback& abort) override;
  // The content's size once a pass has reached its end (now or in an
  // earlier view of the same file), unknown_size before.
  uint64_t get_size(abort_callback& abort) override;
  uint64_t get_position(abort_callback& abort) override;
  // Moves without decoding; past a known end, to the end. A position past
  // an end not yet known stays as given, and reads there return 0.
  void seek(uint64_t position, abort_callback& abort) override;
  // Passes over up to `count` bytes, decoding them when the size is not
  // known yet; returns how many there were.
  uint64_t skip(uint64_t count, abort_callback& abort) override;
  bool can_seek() override { return true; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return false; }
  void on_hint(void*) override {}
  uint64_t get_timestamp(abort_callback& abort) override;
  void reopen(abort_callback& abort) override;
  bool is_remote() override;

  // Decodes from the position to the end of the content, unless a pass
  // from the start has verified the file before: afterwards the size is
  // known and every check of the format has passed for the whole content
  // (a pass from the start is made when the current one began elsewhere).
  // Throws as read does. The position is left where it was.
  void verify_to_end(abort_callback& abort);

  // The source's content index entry, shared with every view of the file:
  // valid while the view lives, or as long as a share of it is held.
  content_entry& entry() { return *entry_; }
  const std::shared_ptr<content_entry>& index_entry() const { return entry_; }

 protected:
  ~decoded_view() = default;

 private:
  // Makes the pass stand at `position_`, or at the end of the content
  // when that comes first.
  void position_pass(abort_callback& abort);
  // Starts a new pass at the nearest checkpoint at or before `position_`.
  void restart_pass(abort_callback& abort);
  // Decodes the next `count` bytes (at most the buffer's capacity) into
  // the buffer; false when the content had none left.
  bool fill_buffer(uint32_t count, abort_callback& abort);
  // Decodes up to `capacity` bytes into `out`, noting the end.
  size_t decode(uint8_t* out, size_t capacity, abort_callback& abort);

  view_format& format_;
  file_ptr source_;
  std::shared_ptr<content_entry> entry_;
  uint64_t timestamp_;
  uint64_t position_ = 0;

  std::unique_ptr<view_pass> pass_;
  uint64_t pass_position_ = 0;  // output position of the pass's next byte
  bool pass_from_start_ = false;
  bool pass_ended_ = false;

  // Decoded bytes [buffer_start_, buffer_start_ + buffer_fill_).
  byte_array buffer_;
  uint64_t buffer_start_ = 0;
  uint32_t buffer_fill_ = 0;
};

}  // namespace sonovale_io
