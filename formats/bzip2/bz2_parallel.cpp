#include "formats/bzip2/bz2_parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "formats/bzip2/bz2_block_finder.h"
#include "formats/bzip2/bz2_expand.h"
#include "io/exceptions.h"
#include "io/processor_count.h"

using sonovale_io::file_ptr;

// While they decode, workers neither allocate nor free memory: the walk's
// thread gives them everything they use. A thread's first call to the
// allocator makes it an arena of its own, whose mapping may land just
// above the output's and stop that from growing in place; every write
// that grows the output then moves its whole mapping.

namespace {

std::atomic<unsigned> g_worker_setting{0};
constexpr unsigned max_workers = 64;

// The input is read ahead in pieces of this size.
constexpr uint32_t piece_size = 256 << 10;
// A worker gets the bytes from its block's start to just past the next
// candidate, at most this many. A block's record is far shorter; when a
// candidate inside a block cuts it short, the worker fails and the walk
// decodes that block itself.
constexpr uint64_t max_block_input = 4 << 20;
constexpr uint64_t bytes_past_next_candidate = 16;
// Reading stops this far ahead of the walk even when no candidate turns
// up (trailing bytes, data that is not bzip2), or when this many
// candidates wait (data made of magics).
constexpr uint64_t max_read_ahead = 16 << 20;
constexpr size_t max_candidates = 4096;
// Expanded bytes a decoded block keeps: real blocks of 900 kB expand to
// about 1.25 MB at the most. A block that expands to more keeps its text
// (at most bz2_max_block_size bytes) in the same buffer.
constexpr uint32_t output_capacity = 1536 << 10;
static_assert(output_capacity >= bz2_max_block_size);

// A heap buffer kept for reuse: fresh memory costs a page fault per page
// when first touched, which adds up over many blocks.
struct buffer {
  std::unique_ptr<uint8_t[]> data;
  size_t capacity = 0;
};

// A buffer of at least `size` bytes from `spare`, or a new one of
// max(size, minimum) bytes; empty when memory is short.
buffer take_buffer(std::vector<buffer>& spare, size_t size, size_t minimum) {
  for (size_t i = spare.size(); i-- > 0;) {
    if (spare[i].capacity >= size) {
      buffer b = std::move(spare[i]);
      spare.erase(spare.begin() + static_cast<std::ptrdiff_t>(i));
      return b;
    }
  }
  buffer b;
  size_t capacity = std::max(size, minimum);
  b.data.reset(new (std::nothrow) uint8_t[capacity]);
  if (b.data) b.capacity = capacity;
  return b;
}

void keep_buffer(std::vector<buffer>& spare, buffer& b) {
  if (!b.data) return;
  try {
    spare.push_back(std::move(b));
  } catch (const std::bad_alloc&) {
    b = buffer{};
  }
}

// A job's input, followed by zero bytes without end, so that decoding
// never throws (which would allocate); `overran` tells that the block
// needed bytes beyond the input.
class padded_source final : public bz2_byte_source {
 public:
  padded_source(const uint8_t* data, uint32_t size) : data_(data), size_(size) {}
  uint32_t next(const uint8_t*& data) override {
    if (data_ != nullptr) {
      data = data_;
      data_ = nullptr;
      if (size_ != 0) return size_;
    }
    overran = true;
    data = zeros;
    return sizeof zeros;
  }
  bool overran = false;

 private:
  static constexpr uint8_t zeros[4096] = {};
  const uint8_t* data_;
  uint32_t size_;
};

// One candidate block, handed to a worker.
struct job {
  uint64_t start_bit = 0;
  uint64_t input_offset = 0;  // the byte that input.data[0] holds
  size_t input_size = 0;
  buffer input;
  buffer output;  // output_capacity bytes
  // Set by the walk under the pool's lock: a worker that takes the job
  // passes over it.
  bool abandoned = false;
  // Written by the worker before `done` is set under the pool's lock.
  bool ok = false;
  uint64_t end_bit = 0;
  uint32_t size = 0;
  uint32_t origin = 0;
  bz2_decoded_block result;
  bool done = false;
};

// A piece of the input read ahead.
struct piece {
  uint64_t offset;
  size_t size;
  buffer bytes;
};

}  // namespace

void bz2_set_decoder_threads(unsigned count) {
  g_worker_setting.store(count, std::memory_order_relaxed);
}

unsigned bz2_decoder_threads() {
  unsigned n = g_worker_setting.load(std::memory_order_relaxed);
  if (n == 0) n = processor_count();
  return std::min(n, max_workers);
}

class bz2_block_pool::impl final : public bz2_byte_source {
 public:
  impl(const file_ptr& input, uint64_t offset, abort_callback& abort)
      : input_(input),
        abort_(&abort),
        finder_(offset),
        read_end_(offset),
        walk_offset_(offset),
        span_start_(offset) {}

  ~impl() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_.store(true, std::memory_order_relaxed);
    }
    work_ready_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  // Starts up to `count` workers, each with a block decoder made here;
  // the threads the system refuses, or that memory does not allow, are
  // done without.
  void start_workers(unsigned count) {
    try {
      decoders_.reserve(count);
      workers_.reserve(count);
      queue_.resize(count + 1);
      for (unsigned i = 0; i < count; ++i) {
        std::unique_ptr<bz2_block> block(new (std::nothrow) bz2_block());
        if (!block) break;
        bz2_block_set_capacity(*block, 9);
        decoders_.push_back(std::move(block));
        bz2_block* mine = decoders_.back().get();
        workers_.emplace_back([this, mine] { work(*mine); });
      }
    } catch (const std::exception&) {
    }
    max_jobs_ = workers_.size() + 1;
  }

  void set_abort(abort_callback& abort) { abort_ = &abort; }

  // The walk's bytes: the piece holding walk_offset_, from there on.
  uint32_t next(const uint8_t*& data) override {
    while (walk_offset_ >= read_end_) {
      if (!read_piece(true)) return 0;
    }
    auto p = std::find_if(pieces_.begin(), pieces_.end(),
                          [&](const piece& q) { return walk_offset_ < q.offset + q.size; });
    data = p->bytes.data.get() + (walk_offset_ - p->offset);
    uint32_t n = static_cast<uint32_t>(p->offset + p->size - walk_offset_);
    span_start_ = walk_offset_;
    walk_offset_ += n;
    trim();
    return n;
  }

  const bz2_decoded_block* take(bz2_bit_input& bits, uint32_t capacity) {
    finish_current();
    if (workers_.empty()) return nullptr;
    const uint64_t position = bz2_bit_position(bits);
    floor_ = position;
    while (!jobs_.empty() && jobs_.front()->start_bit < position) {
      abandon(std::move(jobs_.front()));
      jobs_.pop_front();
    }
    while (!candidates_.empty() && candidates_.front() < position) candidates_.pop_front();
    // A block starting here is found once its magic has been read.
    while (read_end_ * 8 < position + 48 && read_piece(false)) {
    }
    pump();
    // Its worker needs the bytes up to the next candidate.
    while (jobs_.empty() && !candidates_.empty() && candidates_.front() == position) {
      bool more = read_piece(false);
      dispatch();
      if (!more) break;
    }
    if (jobs_.empty() || jobs_.front()->start_bit != position) return nullptr;

    std::unique_ptr<job> j = std::move(jobs_.front());
    jobs_.pop_front();
    {
      std::unique_lock<std::mutex> lock(mutex_);
      job_done_.wait(lock, [&] { return j->done; });
    }
    pump();
    if (!j->ok || j->size > capacity || j->origin > capacity) {
      recycle(*j);
      return nullptr;
    }
    walk_offset_ = j->end_bit / 8;
    bz2_bits_start(bits, *this, j->end_bit / 8, static_cast<uint32_t>(j->end_bit % 8));
    current_ = std::move(j);
    return &current_->result;
  }

 private:
  // ---- The walk's thread ---------------------------------------------

  // Reads the next piece, in reads of bz2_chunk_size bytes as the walk
  // alone would make them, and scans it for candidates. Returns false when
  // nothing more could be read: at the end of the input, or when memory
  // is short or a read failed. A read that fails keeps its exception
  // until the walk needs the bytes it would have given; then, or when
  // the walk `needs` a piece that cannot be had, it is thrown.
  bool read_piece(bool needed) {
    if (eof_) return false;
    if (read_error_) {
      if (needed) std::rethrow_exception(read_error_);
      return false;
    }
    buffer b = take_buffer(spare_pieces_, piece_size, piece_size);
    if (!b.data) {
      if (needed) throw plix::bad_alloc();
      return false;
    }
    size_t filled = 0;
    try {
      while (filled < piece_size) {
        uint32_t got = input_->read(b.data.get() + filled, bz2_chunk_size, *abort_);
        if (got == 0) {
          eof_ = true;
          break;
        }
        filled += std::min(got, bz2_chunk_size);
      }
    } catch (...) {
      read_error_ = std::current_exception();
    }
    if (filled == 0) {
      keep_buffer(spare_pieces_, b);
      if (needed && read_error_) std::rethrow_exception(read_error_);
      return false;
    }
    try {
      pieces_.push_back({read_end_, filled, std::move(b)});
      if (!workers_.empty()) finder_.scan(pieces_.back().bytes.data.get(), filled, candidates_);
    } catch (const std::bad_alloc&) {
      throw plix::bad_alloc();
    }
    read_end_ += filled;
    return true;
  }

  // Frees the pieces that neither the walk nor a candidate still needs.
  void trim() {
    uint64_t keep = span_start_;
    if (!candidates_.empty()) keep = std::min(keep, candidates_.front() / 8);
    while (!pieces_.empty() && pieces_.front().offset + pieces_.front().size <= keep) {
      keep_buffer(spare_pieces_, pieces_.front().bytes);
      pieces_.pop_front();
    }
  }

  // Keeps the workers busy: hands out candidates and reads ahead while
  // fewer than max_jobs_ blocks are out.
  void pump() {
    if (workers_.empty()) return;
    for (;;) {
      dispatch();
      if (jobs_.size() >= max_jobs_ || read_end_ >= walk_offset_ + max_read_ahead ||
          candidates_.size() >= max_candidates) {
        return;
      }
      if (!read_piece(false)) {
        dispatch();
        return;
      }
    }
  }

  // Hands every candidate whose bytes are known to a worker, while fewer
  // than max_jobs_ blocks are out.
  void dispatch() {
    release_retired();
    while (!candidates_.empty() && jobs_.size() < max_jobs_ && retired_.empty()) {
      const uint64_t start = candidates_.front();
      const uint64_t first = start / 8;
      uint64_t end = first + max_block_input;
      if (candidates_.size() > 1) {
        end = std::min(end, candidates_[1] / 8 + bytes_past_next_candidate);
      }
      if (end > read_end_) {
        if (!eof_ && !read_error_) return;
        end = read_end_;
      }
      candidates_.pop_front();
      if (start < floor_) continue;
      std::unique_ptr<job> j = make_job(start, first, end);
      if (!j) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_[(queue_head_ + queued_) % queue_.size()] = j.get();
        ++queued_;
      }
      work_ready_.notify_one();
      jobs_.push_back(std::move(j));
    }
    trim();
  }

  // A job for the block at bit `start` with the input bytes [first, end),
  // or null when memory is short.
  std::unique_ptr<job> make_job(uint64_t start, uint64_t first, uint64_t end) {
    std::unique_ptr<job> j(new (std::nothrow) job());
    if (!j) return nullptr;
    j->start_bit = start;
    j->input_offset = first;
    j->input_size = static_cast<size_t>(end - first);
    j->input = take_buffer(spare_inputs_, j->input_size, 512 << 10);
    j->output = take_buffer(spare_outputs_, output_capacity, output_capacity);
    if (!j->input.data || !j->output.data) {
      recycle(*j);
      return nullptr;
    }
    uint8_t* out = j->input.data.get();
    for (const piece& p : pieces_) {
      uint64_t from = std::max(first, p.offset), to = std::min(end, p.offset + p.size);
      if (from >= to) continue;
      std::memcpy(out + (from - first), p.bytes.data.get() + (from - p.offset), to - from);
    }
    return j;
  }

  // Gives a job's buffers back for reuse. Precondition: no worker has it.
  void recycle(job& j) {
    keep_buffer(spare_inputs_, j.input);
    keep_buffer(spare_outputs_, j.output);
  }

  void finish_current() {
    if (!current_) return;
    recycle(*current_);
    current_.reset();
  }

  // Forgets a job the walk went past (a candidate inside a block). A
  // worker that is on it finishes it first; it is freed here later, so that
  // the worker frees nothing.
  void abandon(std::unique_ptr<job> j) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      j->abandoned = true;
    }
    try {
      retired_.push_back(std::move(j));
    } catch (const std::bad_alloc&) {
      // Keep it where a worker cannot outlive it: wait for it.
      std::unique_lock<std::mutex> lock(mutex_);
      job_done_.wait(lock, [&] { return j->done; });
    }
    release_retired();
  }

  void release_retired() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!retired_.empty() && retired_.front()->done) {
      recycle(*retired_.front());
      retired_.pop_front();
    }
  }

  // ---- Workers ----------------------------------------------------------

  void work(bz2_block& block) {
    for (;;) {
      job* j;
      bool skip;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_ready_.wait(lock,
                         [&] { return stopping_.load(std::memory_order_relaxed) || queued_ != 0; });
        if (stopping_.load(std::memory_order_relaxed)) return;
        j = queue_[queue_head_];
        queue_head_ = (queue_head_ + 1) % queue_.size();
        --queued_;
        skip = j->abandoned;
      }
      if (!skip) decode(*j, block);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        j->done = true;
      }
      job_done_.notify_all();
    }
  }

  // Decodes the job's block with the largest block size (the walk checks
  // its stream's), expands it and computes its CRC. Leaves `ok` false when
  // the block is bad or needs bytes beyond the job's.
  void decode(job& j, bz2_block& block) {
    padded_source source(j.input.data.get(), static_cast<uint32_t>(j.input_size));
    bz2_bit_input bits;
    bz2_bits_start(bits, source, j.input_offset, static_cast<uint32_t>(j.start_bit % 8));
    if (bz2_decode_block(block, bits) != bz2_ok || source.overran) return;
    j.end_bit = bz2_bit_position(bits);
    j.size = block.size;
    j.origin = block.origin;
    j.result.stored_crc = block.stored_crc;
    uint8_t* const out = j.output.data.get();
    bz2_expander e;
    bz2_expand_start(e, block.text.data(), block.size);
    uint64_t total = static_cast<uint64_t>(bz2_expand(e, out, out + output_capacity) - out);
    if (e.finished) {
      j.result.bytes = out;
    } else {
      // Too many bytes to keep: learn the CRC, and keep the text.
      do {
        if (stopping_.load(std::memory_order_relaxed)) return;
        total += static_cast<uint64_t>(bz2_expand(e, out, out + output_capacity) - out);
      } while (!e.finished);
      std::memcpy(out, block.text.data(), block.size);
      j.result.text = out;
      j.result.size = block.size;
    }
    j.result.crc = bz2_expanded_crc(e);
    j.result.byte_count = total;
    j.ok = true;
  }

  // The walk's thread alone uses these.
  file_ptr input_;
  abort_callback* abort_;
  bz2_block_finder finder_;
  std::deque<uint64_t> candidates_;  // found, not yet handed out, in order
  std::deque<piece> pieces_;         // the input read and still needed
  std::vector<buffer> spare_pieces_;
  std::vector<buffer> spare_inputs_;
  std::vector<buffer> spare_outputs_;
  uint64_t read_end_;     // the byte after the last one read
  uint64_t walk_offset_;  // the next byte the walk gets
  uint64_t span_start_;   // the first byte of the walk's current span
  uint64_t floor_ = 0;    // the walk's position: no block starts before it
  bool eof_ = false;
  std::exception_ptr read_error_;
  std::deque<std::unique_ptr<job>> jobs_;     // handed out, in order
  std::deque<std::unique_ptr<job>> retired_;  // abandoned, maybe still on a worker
  std::unique_ptr<job> current_;              // taken by the walk
  size_t max_jobs_ = 0;
  std::vector<std::unique_ptr<bz2_block>> decoders_;  // one per worker

  // Shared with the workers, under mutex_.
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable job_done_;
  std::vector<job*> queue_;  // a ring of the jobs not yet started
  size_t queue_head_ = 0;
  size_t queued_ = 0;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> workers_;
};

bz2_block_pool::bz2_block_pool(const file_ptr& input, uint64_t offset, unsigned workers,
                               abort_callback& abort) {
  impl_.reset(new (std::nothrow) impl(input, offset, abort));
  if (!impl_) throw plix::bad_alloc();
  impl_->start_workers(workers);
}

bz2_block_pool::~bz2_block_pool() = default;

void bz2_block_pool::set_abort(abort_callback& abort) {
  impl_->set_abort(abort);
}

bz2_byte_source& bz2_block_pool::source() {
  return *impl_;
}

const bz2_decoded_block* bz2_block_pool::take(bz2_bit_input& bits, uint32_t capacity) {
  return impl_->take(bits, capacity);
}
