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
//
// A checkpoint the index read from disk is not trusted: a pass started there
// first decodes the bytes its check covers (archive/checkpoint_check.h) and
// serves them only when they match; otherwise the file's index is forgotten
// (here and on disk) and the pass starts from the beginning. When the entry
// is tied to the disk, the view computes the check of every checkpoint its
// passes report from the bytes that follow it, so that the checkpoint can
// be written there.
#pragma once

#include <memory>
#include <vector>

#include "archive/checkpoint_check.h"
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

  // Tells the view that its reader goes on to the end (a listing with
  // readers, an extraction): passes then decode the stretches between the
  // checkpoints the index knows on every core (archive/segment_pass.h).
  void read_to_the_end() { read_ahead_ = true; }

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
  // Writes to disk what the entry's attachment learnt.
  ~decoded_view();

 private:
  // Receives a pass's checkpoints for the entry, and starts the check of
  // each when the entry is tied to the disk.
  class recorder final : public checkpoint_sink {
   public:
    explicit recorder(decoded_view& view) : view_(view) {}
    void add_checkpoint(view_checkpoint&& checkpoint) override;

   private:
    decoded_view& view_;
  };
  struct pending_check {
    uint64_t position;
    checkpoint_check check;
  };

  // Starts a pass at `from` (null: the content's start) for the position
  // `position`, checking a checkpoint read from disk first.
  void start_pass(const indexed_checkpoint* from, abort_callback& abort);
  // Feeds output [start, start + count) to the pending checks, and hands
  // the complete ones to the entry; with `ended`, the rest too.
  void feed_checks(const uint8_t* data, uint64_t start, size_t count, bool ended);

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
  bool read_ahead_ = false;

  recorder recorder_{*this};
  std::vector<pending_check> pending_;
  // While a checkpoint read from disk is checked: the checkpoints its pass
  // reports, kept back until the check has passed.
  bool verifying_ = false;
  std::vector<view_checkpoint> held_back_;

  // Decoded bytes [buffer_start_, buffer_start_ + buffer_fill_).
  byte_array buffer_;
  uint64_t buffer_start_ = 0;
  uint32_t buffer_fill_ = 0;
};

}  // namespace sonovale_io
