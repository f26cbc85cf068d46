#include "archive/segment_pass.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "io/file_buffer_storage.h"
#include "io/processor_count.h"

namespace sonovale_io {

namespace {

// No segment is decoded into one block larger than this: a stretch without
// checkpoints beyond it is left to the sequential pass.
constexpr uint64_t max_segment_size = uint64_t{64} << 20;
constexpr unsigned max_workers = 8;
// How often a consumer waiting for a segment polls its abort callback.
constexpr auto abort_poll_interval = std::chrono::milliseconds(20);

// The compressed file as one worker reads it: its own position, every read
// a seek and a read of the shared file under one lock.
class shared_source {
 public:
  explicit shared_source(file_ptr inner) : inner_(std::move(inner)) {}

  uint32_t read_at(uint64_t position, void* buffer, uint32_t count, abort_callback& abort) {
    std::lock_guard<std::mutex> lock(mutex_);
    inner_->seek(position, abort);
    return inner_->read(buffer, count, abort);
  }
  uint64_t size(abort_callback& abort) {
    std::lock_guard<std::mutex> lock(mutex_);
    return inner_->get_size(abort);
  }
  uint64_t timestamp(abort_callback& abort) {
    std::lock_guard<std::mutex> lock(mutex_);
    return inner_->get_timestamp(abort);
  }
  bool is_remote() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inner_->is_remote();
  }

 private:
  std::mutex mutex_;
  file_ptr inner_;
};

class source_reader : public file {
 public:
  explicit source_reader(std::shared_ptr<shared_source> shared) : shared_(std::move(shared)) {}

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override {
    return answer_class<file>(this, out, id);
  }
  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override {
    uint32_t got = shared_->read_at(position_, buffer, count, abort);
    position_ += got;
    return got;
  }
  void write(const void*, uint32_t, abort_callback&) override { throw exception_io_denied(); }
  uint64_t get_size(abort_callback& abort) override { return shared_->size(abort); }
  uint64_t get_position(abort_callback&) override { return position_; }
  void resize(uint64_t, abort_callback&) override { throw exception_io_denied(); }
  void seek(uint64_t position, abort_callback&) override { position_ = position; }
  bool can_seek() override { return true; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return false; }
  void on_hint(void*) override {}
  uint64_t get_timestamp(abort_callback& abort) override { return shared_->timestamp(abort); }
  void reopen(abort_callback&) override { position_ = 0; }
  bool is_remote() override { return shared_->is_remote(); }

 protected:
  ~source_reader() = default;

 private:
  std::shared_ptr<shared_source> shared_;
  uint64_t position_ = 0;
};

// Set when the pass goes away: the workers' passes stop at their next poll.
class stop_flag final : public abort_callback {
 public:
  bool is_aborting() const override { return stop.load(std::memory_order_relaxed); }
  void* get_abort_event() const override { return nullptr; }
  std::atomic<bool> stop{false};
};

// Keeps the checkpoints a worker's pass reports.
class collecting_sink final : public checkpoint_sink {
 public:
  void add_checkpoint(view_checkpoint&& checkpoint) override {
    try {
      seen.push_back(std::move(checkpoint));
    } catch (const std::bad_alloc&) {
      overflowed = true;
    }
  }
  std::vector<view_checkpoint> seen;
  bool overflowed = false;
};

struct segment {
  // Where it starts: the content's start when `from_start`, else `start`.
  bool from_start = false;
  view_checkpoint start;
  // The checkpoint that starts the next segment, at the segment's end.
  view_checkpoint end;
  uint64_t size() const { return end.output_position - start.output_position; }

  // Written by its worker, read once `done` is set (under the pass's lock).
  std::unique_ptr<file_buffer_storage> bytes;
  bool ok = false;
  bool disagrees = false;  // decoded, but its end is not the checkpoint said
  bool done = false;
};

class segment_pass final : public view_pass {
 public:
  segment_pass(view_format& format, const file_ptr& source, std::shared_ptr<content_entry> entry,
               checkpoint_sink& sink, std::vector<segment>&& segments, uint64_t segment_bytes)
      : segment_bytes_(segment_bytes),
        format_(format),
        shared_(std::make_shared<shared_source>(source)),
        entry_(std::move(entry)),
        sink_(sink),
        segments_(std::move(segments)) {}

  ~segment_pass() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_.stop.store(true, std::memory_order_relaxed);
    }
    work_ready_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  void start_workers(unsigned count) {
    // Set before any worker runs, read-only while they do.
    window_ = count + 2;
    try {
      for (unsigned i = 0; i < count; ++i) workers_.emplace_back([this] { work(); });
    } catch (const std::exception&) {
      // Fewer workers (none: the consumer falls back below).
    }
    if (workers_.empty()) fallback_at_ = 0;
  }

  size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) override {
    size_t done = 0;
    while (done < capacity) {
      if (tail_) {
        done += tail_->decode(out + done, capacity - done, abort);
        return done;
      }
      if (next_ >= segments_.size() || next_ == fallback_at_) {
        start_tail(abort);
        continue;
      }
      segment& s = segments_[next_];
      if (!wait_for(s, abort)) {
        fallback_at_ = next_;
        continue;
      }
      size_t n = static_cast<size_t>(std::min<uint64_t>(capacity - done, s.size() - taken_));
      std::memcpy(out + done, s.bytes->data() + taken_, n);
      taken_ += n;
      done += n;
      if (taken_ == s.size()) finish_segment();
    }
    return done;
  }

 private:
  // ---- The consumer ---------------------------------------------------

  // Waits until `s` is decoded; true when its bytes may be served.
  bool wait_for(segment& s, abort_callback& abort) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!s.done) {
      lock.unlock();
      check_aborted(abort);
      lock.lock();
      segment_done_.wait_for(lock, abort_poll_interval, [&] { return s.done; });
    }
    if (s.disagrees) disagreed_ = true;
    return s.ok;
  }

  void finish_segment() {
    segment& s = segments_[next_];
    // Its end was reported by decoding from a confirmed start: confirmed.
    entry_->confirm(s.end.output_position);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Kept for the next segment: fresh memory costs a page fault a page.
      if (s.bytes) spare_.push_back(std::move(s.bytes));
      ++next_;
    }
    taken_ = 0;
    work_ready_.notify_all();
  }

  // Goes on sequentially from the start of segment `next_`, whose start the
  // segments before it confirmed (or the content's start).
  void start_tail(abort_callback& abort) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // No worker takes a segment from now on.
      stopping_.stop.store(true, std::memory_order_relaxed);
    }
    work_ready_.notify_all();
    if (disagreed_) {
      // A checkpoint of the index is not what decoding finds there: the
      // index is wrong for this file. What this pass confirmed stays with
      // it; the entry starts afresh.
      entry_->reset();
    }
    // Workers may still be reading: the tail reads through the same lock.
    file_ptr reader(new service_impl_t<source_reader>(shared_));
    const segment& from = segments_[std::min(next_, segments_.size() - 1)];
    bool past_last = next_ >= segments_.size();
    if (past_last) {
      // Every segment was served: go on from the last one's end.
      tail_ = format_.start(reader, &from.end, sink_, abort);
      return;
    }
    tail_ = format_.start(reader, from.from_start ? nullptr : &from.start, sink_, abort);
    // The bytes of this segment already served are passed over.
    for (uint64_t skip = taken_; skip != 0;) {
      uint8_t scratch[4096];
      size_t n = tail_->decode(scratch, static_cast<size_t>(std::min<uint64_t>(skip, sizeof scratch)),
                               abort);
      if (n == 0) throw exception_io_data();  // the content ended before bytes it gave
      skip -= n;
    }
  }

  // ---- Workers ----------------------------------------------------------

  void work() {
    for (;;) {
      size_t index;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_ready_.wait(lock, [&] {
          return stopping_.is_aborting() ||
                 (claimed_ < segments_.size() && claimed_ < next_ + window());
        });
        if (stopping_.is_aborting()) return;
        index = claimed_++;
      }
      segment& s = segments_[index];
      decode_segment(s);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        s.done = true;
      }
      segment_done_.notify_all();
    }
  }

  // Segments decoded or decoding ahead of the consumer, at most: one per
  // worker and two more, so that no worker waits on the consumer.
  size_t window() const { return window_; }

  // A buffer of at least `size` bytes, reused when one is spare. New ones
  // are file storage: from 2 MiB up on huge pages, so that filling one
  // costs a page fault per 2 MiB rather than per 4 KiB. Throws
  // plix::bad_alloc when the memory cannot be had.
  std::unique_ptr<file_buffer_storage> take_buffer(size_t size) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < spare_.size(); ++i) {
        if (spare_[i]->capacity() >= size) {
          std::unique_ptr<file_buffer_storage> b = std::move(spare_[i]);
          spare_.erase(spare_.begin() + static_cast<std::ptrdiff_t>(i));
          return b;
        }
      }
    }
    // Segments run a little past their nominal size: room for that, so that
    // buffers are reused.
    auto buffer = std::make_unique<file_buffer_storage>();
    buffer->grow(std::max<uint64_t>(size, std::min(segment_bytes_ + segment_bytes_ / 4,
                                                   max_segment_size)),
                 0);
    return buffer;
  }

  void decode_segment(segment& s) {
    try {
      auto size = static_cast<size_t>(s.size());
      std::unique_ptr<file_buffer_storage> bytes = take_buffer(size);
      file_ptr reader(new service_impl_t<source_reader>(shared_));
      collecting_sink seen;
      std::unique_ptr<view_pass> pass =
          format_.start(reader, s.from_start ? nullptr : &s.start, seen, stopping_);
      size_t got = 0;
      while (got < size) {
        size_t n = pass->decode(bytes->data() + got, size - got, stopping_);
        if (n == 0) break;
        got += n;
      }
      // A pass reports a checkpoint as it goes past it: one byte more.
      uint8_t past = 0;
      if (got == size) pass->decode(&past, 1, stopping_);
      bool reached = got == size && !seen.overflowed;
      bool reported = false;
      for (const view_checkpoint& c : seen.seen) {
        if (c.output_position == s.end.output_position) reported = c.state == s.end.state;
      }
      if (reached && reported) {
        s.bytes = std::move(bytes);
        s.ok = true;
      } else if (reached || got == size) {
        s.disagrees = true;
      }
    } catch (...) {
      // Damage, an abort, memory: the sequential pass meets it again where
      // it lies, or the caller's abort ends it.
    }
  }

  const uint64_t segment_bytes_;
  view_format& format_;
  std::shared_ptr<shared_source> shared_;
  std::shared_ptr<content_entry> entry_;
  checkpoint_sink& sink_;
  std::vector<segment> segments_;

  // The consumer's place: the segment being served and how far.
  size_t next_ = 0;
  uint64_t taken_ = 0;
  size_t fallback_at_ = SIZE_MAX;
  bool disagreed_ = false;
  std::unique_ptr<view_pass> tail_;

  std::mutex mutex_;
  std::vector<std::unique_ptr<file_buffer_storage>> spare_;
  std::condition_variable work_ready_;
  std::condition_variable segment_done_;
  size_t claimed_ = 0;
  stop_flag stopping_;
  std::vector<std::thread> workers_;
  size_t window_ = 2;
};

}  // namespace

unsigned segment_workers() {
  return std::min(processor_count(), max_workers);
}

std::unique_ptr<view_pass> start_segment_pass(view_format& format, const file_ptr& source,
                                              const std::shared_ptr<content_entry>& entry,
                                              const view_checkpoint* from, checkpoint_sink& sink,
                                              unsigned workers, abort_callback& abort,
                                              uint64_t segment_bytes) {
  check_aborted(abort);
  uint64_t start = from != nullptr ? from->output_position : 0;
  // Each segment ends at the first checkpoint at least segment_bytes past
  // its start.
  std::vector<indexed_checkpoint> ends =
      entry->checkpoints_after(start, std::max<uint64_t>(segment_bytes, 1));
  std::vector<segment> segments;
  segment current;
  current.from_start = from == nullptr;
  if (from != nullptr) current.start = *from;
  for (indexed_checkpoint& c : ends) {
    if (c.point.output_position - current.start.output_position > max_segment_size) break;
    segment next;
    next.start = c.point;
    current.end = std::move(c.point);
    segments.push_back(std::move(current));
    current = std::move(next);
  }
  if (segments.size() < 2) return nullptr;
  auto pass = std::make_unique<segment_pass>(format, source, entry, sink, std::move(segments),
                                             segment_bytes);
  pass->start_workers(std::max(workers, 1u));
  return pass;
}

}  // namespace sonovale_io
