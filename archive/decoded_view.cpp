#include "archive/decoded_view.h"

#include "archive/segment_pass.h"

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

decoded_view::~decoded_view() {
  try {
    entry_->save();
  } catch (const std::exception&) {
    // The index is a cache: what cannot be written is learnt again.
  }
}

void decoded_view::recorder::add_checkpoint(view_checkpoint&& checkpoint) {
  decoded_view& v = view_;
  if (v.verifying_) {
    // A pass from a checkpoint read from disk vouches for nothing until its
    // first bytes have matched the check.
    try {
      v.held_back_.push_back(std::move(checkpoint));
    } catch (const std::bad_alloc&) {
    }
    return;
  }
  if (v.entry_->persistent() && checkpoint.output_position >= v.pass_position_) {
    try {
      v.pending_.push_back({checkpoint.output_position, checkpoint_check(checkpoint)});
    } catch (const std::bad_alloc&) {
      // Not written to disk, still kept in memory.
    }
  }
  v.entry_->add_checkpoint(std::move(checkpoint));
}

void decoded_view::feed_checks(const uint8_t* data, uint64_t start, size_t count, bool ended) {
  if (pending_.empty()) return;
  uint64_t end = start + count;
  size_t kept = 0;
  for (pending_check& p : pending_) {
    if (p.position < end) {
      uint64_t from = std::max(p.position, start);
      // Checks start where their checkpoint lies, which the output passed
      // after the pass reported it; bytes are fed in order.
      p.check.add(data + (from - start), static_cast<size_t>(end - from));
    }
    if (p.check.complete() || ended) {
      entry_->set_check(p.position, p.check.value());
    } else {
      pending_[kept++] = std::move(p);
    }
  }
  pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(kept), pending_.end());
}

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
    pending_.clear();
    throw;
  }
  bool ended = produced < capacity;
  feed_checks(out, pass_position_, produced, ended);
  pass_position_ += produced;
  if (ended) {
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

void decoded_view::start_pass(const indexed_checkpoint* from, abort_callback& abort) {
  pass_.reset();
  pending_.clear();
  buffer_fill_ = 0;
  pass_ended_ = false;
  if (from != nullptr && !from->confirmed) {
    // Read from disk: decode what its check covers before trusting it.
    bool agrees = false;
    verifying_ = true;
    held_back_.clear();
    try {
      pass_position_ = from->point.output_position;
      pass_from_start_ = false;
      pass_ = format_.start(source_, &from->point, recorder_, abort);
      if (buffer_.size() == 0) buffer_.set_size(buffer_capacity);
      buffer_start_ = pass_position_;
      size_t n = decode(buffer_.data(), checkpoint_check_span, abort);
      buffer_fill_ = static_cast<uint32_t>(n);
      agrees = from->has_check && checkpoint_check_of(from->point, buffer_.data(), n) == from->check;
    } catch (const exception_io_data&) {
    } catch (const plix::bad_alloc&) {
    } catch (...) {
      verifying_ = false;
      throw;
    }
    verifying_ = false;
    if (agrees) {
      entry_->confirm(from->point.output_position);
      for (view_checkpoint& c : held_back_) {
        if (c.output_position != from->point.output_position) entry_->add_checkpoint(std::move(c));
      }
      held_back_.clear();
      return;
    }
    held_back_.clear();
    // The size and verified mark of a pass that ran from a bad place, and
    // everything else the disk said, go too.
    entry_->reset();
    pass_.reset();
    pending_.clear();
    buffer_fill_ = 0;
    pass_ended_ = false;
    from = nullptr;
  }
  pass_position_ = from != nullptr ? from->point.output_position : 0;
  pass_from_start_ = from == nullptr;
  const view_checkpoint* point = from != nullptr ? &from->point : nullptr;
  if (read_ahead_ && !format_.decodes_on_every_core() && segment_workers() > 1) {
    pass_ = start_segment_pass(format_, source_, entry_, point, recorder_, segment_workers(), abort);
    if (pass_) return;
  }
  pass_ = format_.start(source_, point, recorder_, abort);
}

void decoded_view::restart_pass(abort_callback& abort) {
  indexed_checkpoint checkpoint;
  bool resume = entry_->checkpoint_at_or_before(position_, checkpoint);
  start_pass(resume ? &checkpoint : nullptr, abort);
}

void decoded_view::position_pass(abort_callback& abort) {
  bool restart = !pass_ || position_ < pass_position_;
  if (!restart && position_ >= pass_position_ + jump_distance) {
    indexed_checkpoint checkpoint;
    restart = entry_->checkpoint_at_or_before(position_, checkpoint) &&
              checkpoint.point.output_position >= pass_position_ + jump_distance;
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
    // A pass that started at a checkpoint read from disk has decoded what
    // the checkpoint's check covers into the buffer.
    if (position_ >= buffer_start_ && position_ - buffer_start_ < buffer_fill_) continue;
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
    start_pass(nullptr, abort);
  }
  while (!pass_ended_) fill_buffer(buffer_capacity, abort);
}

}  // namespace sonovale_io
