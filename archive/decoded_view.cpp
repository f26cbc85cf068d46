#include "archive/decoded_view.h"

#include <algorithm>
#include <cstring>

namespace sonovale_io {

namespace {

// The view's buffer. Reads at least this long go straight to the caller.
constexpr uint32_t buffer_capacity = 1 << 20;
// What a short read decodes ahead. Kept small: a pass that meets damage
// loses what the failing call decoded, so a larger step would fail reads
// of bytes that lie well before the damage.
constexpr uint32_t read_ahead = 64 << 10;
// A checkpoint this far ahead of the pass is worth a new pass.
constexpr uint64_t jump_distance = 1 << 20;

}  // namespace

decoded_view::decoded_view(view_format& format, file_ptr source,
                           std::shared_ptr<content_entry> entry, uint64_t timestamp)
    : format_(format),
      source_(std::move(source)),
      entry_(std::move(entry)),
      timestamp_(timestamp) {}

bool decoded_view::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<file>(this, out, id);
}

void decoded_view::write(const void*, uint32_t, abort_callback&) {
  throw exception_io_denied();
}

void decoded_view::resize(uint64_t, abort_callback&) {
  throw exception_io_denied();
}

uint64_t decoded_view::get_size(abort_callback&) {
  return entry_->content_size();
}

uint64_t decoded_view::get_position(abort_callback&) {
  return position_;
}

void decoded_view::seek(uint64_t position, abort_callback&) {
  uint64_t size = entry_->content_size();
  position_ = size != unknown_size && position > size ? size : position;
}

uint64_t decoded_view::get_timestamp(abort_callback&) {
  return timestamp_;
}

void decoded_view::reopen(abort_callback&) {
  position_ = 0;
}

bool decoded_view::is_remote() {
  return source_->is_remote();
}

size_t decoded_view::decode(uint8_t* out, size_t capacity, abort_callback& abort) {
  size_t produced;
  try {
    produced = pass_->decode(out, capacity, abort);
  } catch (...) {
    // The pass is spent; a later read starts another, which meets the same
    // failure at the same place unless it was the user's abort.
    pass_.reset();
    throw;
  }
  pass_position_ += produced;
  if (produced < capacity) {
    pass_ended_ = true;
    entry_->set_content_size(pass_position_);
    if (pass_from_start_) entry_->set_verified();
  }
  return produced;
}

bool decoded_view::fill_buffer(uint32_t count, abort_callback& abort) {
  if (buffer_.size() == 0) buffer_.set_size(buffer_capacity);
  buffer_start_ = pass_position_;
  buffer_fill_ = 0;
  buffer_fill_ = static_cast<uint32_t>(decode(buffer_.data(), count, abort));
  return buffer_fill_ != 0;
}

void decoded_view::restart_pass(abort_callback& abort) {
  pass_.reset();
  view_checkpoint checkpoint;
  bool resume = entry_->checkpoint_at_or_before(position_, checkpoint);
  pass_ = format_.start(source_, resume ? &checkpoint : nullptr, *entry_, abort);
  pass_position_ = resume ? checkpoint.output_position : 0;
  pass_from_start_ = !resume;
  pass_ended_ = false;
}

void decoded_view::position_pass(abort_callback& abort) {
  bool restart = !pass_ || position_ < pass_position_;
  if (!restart && position_ >= pass_position_ + jump_distance) {
    view_checkpoint checkpoint;
    restart = entry_->checkpoint_at_or_before(position_, checkpoint) &&
              checkpoint.output_position >= pass_position_ + jump_distance;
  }
  if (restart) restart_pass(abort);
  // Decode and discard up to the position, never beyond it.
  while (pass_position_ < position_ && !pass_ended_)
    fill_buffer(
        static_cast<uint32_t>(std::min<uint64_t>(position_ - pass_position_, buffer_capacity)),
        abort);
}

uint32_t decoded_view::read(void* buffer, uint32_t count, abort_callback& abort) {
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    uint32_t wanted = count - done;
    if (position_ >= buffer_start_ && position_ - buffer_start_ < buffer_fill_) {
      auto offset = static_cast<uint32_t>(position_ - buffer_start_);
      uint32_t n = std::min(wanted, buffer_fill_ - offset);
      std::memcpy(out + done, buffer_.data() + offset, n);
      position_ += n;
      done += n;
      continue;
    }
    uint64_t size = entry_->content_size();
    if (size != unknown_size && position_ >= size) break;
    position_pass(abort);
    // The pass stands at the position now, or the content ended first.
    if (pass_ended_ && position_ >= pass_position_) break;
    if (wanted >= buffer_capacity) {
      // A long read takes the bytes straight from the decoder.
      size_t n = decode(out + done, wanted, abort);
      buffer_start_ = pass_position_;
      buffer_fill_ = 0;
      position_ += n;
      done += static_cast<uint32_t>(n);
      if (n < wanted) break;
    } else if (!fill_buffer(std::max(wanted, read_ahead), abort)) {
      break;
    }
  }
  return done;
}

uint64_t decoded_view::skip(uint64_t count, abort_callback& abort) {
  uint64_t start = position_;
  position_ = count > UINT64_MAX - start ? UINT64_MAX : start + count;
  bool buffered = position_ >= buffer_start_ && position_ - buffer_start_ < buffer_fill_;
  if (!buffered && entry_->content_size() == unknown_size) {
    try {
      position_pass(abort);
    } catch (...) {
      position_ = start;
      throw;
    }
  }
  uint64_t size = entry_->content_size();
  if (size != unknown_size && position_ > size) position_ = std::max(start, size);
  return position_ - start;
}

void decoded_view::verify_to_end(abort_callback& abort) {
  if (entry_->verified()) return;
  if (!pass_ || !pass_from_start_) {
    // Only a pass that saw every byte can vouch for the whole file.
    pass_.reset();
    pass_ = format_.start(source_, nullptr, *entry_, abort);
    pass_position_ = 0;
    pass_from_start_ = true;
    pass_ended_ = false;
  }
  while (!pass_ended_) fill_buffer(buffer_capacity, abort);
}

}  // namespace sonovale_io
