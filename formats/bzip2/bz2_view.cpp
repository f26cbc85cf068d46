#include "formats/bzip2/bz2_view.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "formats/bzip2/bz2_decoder.h"
#include "formats/bzip2/bz2_parallel.h"
#include "io/exceptions.h"
#include "io/little_endian.h"

using namespace sonovale_io;

namespace {

constexpr char type_name[] = "bz2";
// Blocks that expand to at most this many bytes are expanded once.
constexpr size_t buffer_size = 2 << 20;
// Each worker holds a block decoder and about two blocks in flight (some
// 6.5 MB), on top of the pool's 16 MiB of read-ahead: six keep a pass
// within 64 MiB beside the member read through it, however many
// processors the machine has.
constexpr unsigned max_view_workers = 6;

// A checkpoint's state, in little-endian fields: a kind byte, then the bit
// position of the record (8 bytes). A block adds its stream's block-size
// digit (1 byte) and the CRC that the stream's earlier blocks combine to
// (4 bytes).
enum checkpoint_kind : uint8_t { at_block = 1, at_stream = 2 };
constexpr size_t stream_state_size = 9;
constexpr size_t block_state_size = 14;

struct resume_point {
  checkpoint_kind kind = at_stream;
  uint64_t bit_position = 0;
  uint32_t digit = 0;
  uint32_t combined_crc = 0;
};

std::vector<uint8_t> encode(const resume_point& p) {
  std::vector<uint8_t> state;
  try {
    state.reserve(block_state_size);
    state.push_back(p.kind);
    append_le(state, p.bit_position, 8);
    if (p.kind == at_block) {
      append_le(state, p.digit, 1);
      append_le(state, p.combined_crc, 4);
    }
  } catch (const std::bad_alloc&) {
    throw plix::bad_alloc();
  }
  return state;
}

// Reads a state that encode wrote; anything else is refused as corrupt.
resume_point decode_state(const std::vector<uint8_t>& state) {
  resume_point p;
  if (state.size() == stream_state_size && state[0] == at_stream) {
    p.kind = at_stream;
  } else if (state.size() == block_state_size && state[0] == at_block && state[9] >= 1 &&
             state[9] <= 9) {
    p.kind = at_block;
    p.digit = state[9];
    p.combined_crc = static_cast<uint32_t>(load_le(state.data() + 10, 4));
  } else {
    throw exception_io_data();
  }
  p.bit_position = load_le(state.data() + 1, 8);
  return p;
}

class bz2_pass final : public view_pass {
 public:
  // A view's pass over `source` from `from`, or from its first byte when
  // null, decoding blocks ahead on `workers` threads (1: none).
  bz2_pass(const file_ptr& source, const view_checkpoint* from, checkpoint_sink& sink,
           unsigned workers, abort_callback& abort)
      : source_(source), input_(source, abort), sink_(&sink), workers_(workers) {
    if (from != nullptr) {
      from_ = decode_state(from->state);
      resuming_ = true;
      output_end_ = from->output_position;
    }
    bz2_walk_create(walk_);
    buffer_.reset(new (std::nothrow) uint8_t[buffer_size]);
    if (!buffer_) throw plix::bad_alloc();
  }

  // A pass that decodes `source` whole into one output, which is dropped
  // when the pass fails: it starts where the file stands, without seeking
  // (a stream is read as it comes), counting that byte as offset 0, and
  // records no checkpoints. A block's bytes are served as they are
  // expanded, its CRC checked at its end, so that no block is expanded
  // twice; the abort callback is polled at every 1 MiB of output only.
  bz2_pass(const file_ptr& source, unsigned workers, abort_callback& abort)
      : source_(source), input_(source, abort), workers_(workers), whole_(true) {
    bz2_walk_create(walk_);
  }

  size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) override {
    input_.set_abort(abort);
    if (pool_) pool_->set_abort(abort);
    if (!started_) {
      started_ = true;
      begin(abort);
    }
    size_t produced = 0;
    while (produced < capacity) {
      // No byte past 1 MiB of output before the abort callback is polled.
      if (unpolled_ >= abort_poll_bytes) {
        unpolled_ = 0;
        check_aborted(abort);
      }
      size_t room = std::min(capacity - produced, abort_poll_bytes - unpolled_);
      size_t n = 0;
      if (ready_left_ != 0) {
        n = std::min(room, ready_left_);
        std::memcpy(out + produced, ready_, n);
        ready_ += n;
        ready_left_ -= n;
      } else if (serving_) {
        uint8_t* p = out + produced;
        n = static_cast<size_t>(bz2_expand(expander_, p, p + room) - p);
        serving_ = !expander_.finished;
        if (!serving_ && whole_) check_block(bz2_expanded_crc(expander_));
      } else if (finished_) {
        break;
      } else {
        next_block(abort);
        continue;
      }
      produced += n;
      unpolled_ += n;
    }
    return produced;
  }

 private:
  // Positions the input and reads the stream header the pass starts with.
  void begin(abort_callback& abort) {
    uint64_t bit = resuming_ ? from_.bit_position : 0;
    if (!whole_) source_->seek(bit / 8, abort);
    bz2_byte_source* bytes = &input_;
    if (workers_ > 1) {
      pool_.reset(new (std::nothrow) bz2_block_pool(source_, bit / 8, workers_, abort));
      if (!pool_) throw plix::bad_alloc();
      walk_.pool = pool_.get();
      bytes = &pool_->source();
    }
    bz2_bits_start(walk_.bits, *bytes, bit / 8, static_cast<uint32_t>(bit % 8));
    if (resuming_ && from_.kind == at_block) {
      bz2_walk_resume(walk_, from_.digit, from_.combined_crc);
      return;
    }
    int32_t result = bz2_walk_stream_header(walk_);
    if (result != bz2_ok) bz2_throw(result);
  }

  // Reads records up to the next block and readies its bytes, checked;
  // sets finished_ when the content ends instead.
  void next_block(abort_callback& abort) {
    for (;;) {
      if (stream_ended_) {
        stream_ended_ = false;
        if (!bz2_walk_next_stream(walk_)) {
          finished_ = true;
          return;
        }
        report({at_stream, walk_.record_position, 0, 0});
      }
      if (!whole_) check_aborted(abort);
      int32_t result = bz2_walk_record(walk_);
      if (result == bz2_end_of_stream) {
        result = bz2_walk_stream_check(walk_);
        if (result != bz2_ok) bz2_throw(result);
        stream_ended_ = true;
        continue;
      }
      if (result != bz2_ok) bz2_throw(result);
      report({at_block, walk_.record_position, walk_.digit, walk_.combined_crc});
      expand_block(abort);
      return;
    }
  }

  // Expands the block just read into the buffer when it fits there;
  // otherwise expands it through the buffer to learn its CRC and leaves
  // the expansion to be done again, straight into the caller's buffer.
  // Either way the CRC is checked before a byte is served, except when
  // decoding whole, where the block is served as it is expanded.
  void expand_block(abort_callback& abort) {
    if (whole_) {
      bz2_walk_expand_start(expander_, walk_);
      serving_ = true;
      return;
    }
    if (walk_.decoded != nullptr) {
      // Decoded ahead, with its CRC known.
      check_block(walk_.decoded->crc);
      bz2_walk_expand_start(expander_, walk_);
      serving_ = true;
      output_end_ += walk_.decoded->byte_count;
      return;
    }
    const bz2_block& b = *walk_.block;
    bz2_expand_start(expander_, b.text.data(), b.size);
    const bz2_expander start = expander_;
    uint8_t* const buffer = buffer_.get();
    uint64_t size =
        static_cast<uint64_t>(bz2_expand(expander_, buffer, buffer + buffer_size) - buffer);
    if (!expander_.finished) {
      do {
        check_aborted(abort);
        size += static_cast<uint64_t>(bz2_expand(expander_, buffer, buffer + buffer_size) - buffer);
      } while (!expander_.finished);
      check_block(bz2_expanded_crc(expander_));
      expander_ = start;
      serving_ = true;
    } else {
      check_block(bz2_expanded_crc(expander_));
      ready_ = buffer;
      ready_left_ = static_cast<size_t>(size);
    }
    output_end_ += size;
  }

  // Folds the CRC of the block just read into its stream's, throwing when
  // it is not the stored one.
  void check_block(uint32_t crc) {
    int32_t checked = bz2_walk_block_done(walk_, crc);
    if (checked != bz2_ok) bz2_throw(checked);
  }

  // Reports a checkpoint at the end of the output so far, unless decoding
  // whole.
  void report(const resume_point& p) {
    if (whole_) return;
    view_checkpoint c;
    c.output_position = output_end_;
    c.state = encode(p);
    sink_->add_checkpoint(std::move(c));
  }

  file_ptr source_;
  bz2_file_source input_;
  checkpoint_sink* sink_ = nullptr;  // null when decoding whole
  unsigned workers_;
  bool whole_ = false;
  resume_point from_;
  bool resuming_ = false;
  std::unique_ptr<bz2_block_pool> pool_;  // when blocks are decoded ahead
  bz2_stream_walk walk_;
  std::unique_ptr<uint8_t[]> buffer_;
  // Output position after the last block readied.
  uint64_t output_end_ = 0;
  // Bytes of the current block still to serve: from the buffer, or from
  // expanding it again.
  const uint8_t* ready_ = nullptr;
  size_t ready_left_ = 0;
  bz2_expander expander_;
  bool serving_ = false;
  bool started_ = false;
  bool stream_ended_ = false;  // the current stream's end was read and checked
  bool finished_ = false;
  size_t unpolled_ = 0;
};

class bz2_view final : public view_format {
 public:
  const char* type_name() const override { return ::type_name; }
  bool decodes_on_every_core() const override { return true; }

  std::unique_ptr<view_pass> start(const file_ptr& source, const view_checkpoint* from,
                                   checkpoint_sink& sink, abort_callback& abort) override {
    unsigned workers = std::min(bz2_decoder_threads(), max_view_workers);
    view_pass* pass = new (std::nothrow) bz2_pass(source, from, sink, workers, abort);
    if (pass == nullptr) throw plix::bad_alloc();
    return std::unique_ptr<view_pass>(pass);
  }
};

}  // namespace

std::unique_ptr<view_pass> bz2_start_whole_pass(const file_ptr& source, unsigned workers,
                                                abort_callback& abort) {
  view_pass* pass = new (std::nothrow) bz2_pass(source, workers, abort);
  if (pass == nullptr) throw plix::bad_alloc();
  return std::unique_ptr<view_pass>(pass);
}

view_format& bz2_view_format() {
  static bz2_view format;
  return format;
}
