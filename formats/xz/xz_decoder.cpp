#include "formats/xz/xz_decoder.h"

#include <algorithm>
#include <cstring>

#include "io/error_text.h"
#include "io/little_endian.h"

using namespace sonovale_io;

namespace {

constexpr uint8_t xz_magic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr size_t padding_group = 4;
// The smallest stream (header, an index of no records, footer) and the
// smallest block record (two one-byte sizes) in the file.
constexpr uint64_t min_stream_size = 32;
constexpr uint64_t min_record_size = 2;
// An index starts with its indicator byte and the number of records, a
// variable-length integer of at most 9 bytes.
constexpr size_t max_index_head = 1 + LZMA_VLI_BYTES_MAX;
constexpr size_t checkpoint_state_size = 17;
constexpr uint32_t input_capacity = 1 << 18;
// The multi-threaded decoder hands each block's input to its thread as it
// receives it, and a thread starts only once the blocks before it have all
// their input. Input given in pieces no larger than the output taken per
// call would keep pace with the first block's output and leave the other
// threads idle; large pieces let it run ahead.
constexpr uint32_t threaded_input_capacity = 1 << 23;
constexpr uint32_t index_input_capacity = 1 << 14;
// Memory the multi-threaded decoder may use for its threads' buffers before
// it falls back to decoding in the caller's thread.
constexpr uint64_t threading_memory = uint64_t{1} << 30;
// Memory beyond which liblzma fails instead of allocating; the content
// itself is bounded elsewhere, so there is no limit here.
constexpr uint64_t no_memory_limit = UINT64_MAX;

// Frees a block header's filter options on every way out.
struct filter_options_guard {
  lzma_filter* filters;
  ~filter_options_guard() { lzma_filters_free(filters, nullptr); }
};

// Reads the first bytes of the file and refuses what does not start with
// the magic.
void check_magic(stream_input& input, abort_callback& abort) {
  input.seek(0, abort);
  bool whole = input.ensure(sizeof xz_magic, abort);
  size_t have = std::min(input.available(), sizeof xz_magic);
  if (have == 0 || std::memcmp(input.data(), xz_magic, have) != 0) {
    throw exception_io_data(xz_not_xz);
  }
  if (!whole) throw exception_io_data_truncation();
}

}  // namespace

void xz_check_magic(const file_ptr& source, abort_callback& abort) {
  stream_input input(source, sizeof xz_magic);
  check_magic(input, abort);
}

void xz_throw(lzma_ret result) {
  switch (result) {
    case LZMA_BUF_ERROR: throw exception_io_data_truncation();
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR: throw plix::bad_alloc();
    case LZMA_OPTIONS_ERROR:
    case LZMA_UNSUPPORTED_CHECK: throw exception_io_data(xz_unsupported);
    default: throw exception_io_data(xz_corrupt);
  }
}

uint64_t xz_index_memory_limit(uint64_t file_size) {
  // lzma_index_memusage answers UINT64_MAX, no bound, for counts past
  // liblzma's own limits, which an unknown size gives.
  uint64_t whole =
      lzma_index_memusage(file_size / min_stream_size + 1, file_size / min_record_size + 1);
  return whole > UINT64_MAX / 2 ? UINT64_MAX : 2 * whole;
}

xz_index_ptr xz_read_index(const file_ptr& source, abort_callback& abort) {
  uint64_t file_size = source->get_size(abort);
  if (file_size == unknown_size || !source->can_seek()) return nullptr;
  stream_input input(source, index_input_capacity);
  input.seek(0, abort);
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  lzma_ret result =
      lzma_file_info_decoder(&stream, &index, xz_index_memory_limit(file_size), file_size);
  if (result != LZMA_OK) xz_throw(result);
  struct stream_guard {
    lzma_stream* s;
    ~stream_guard() { lzma_end(s); }
  } guard{&stream};
  for (;;) {
    check_aborted(abort);
    if (!input.refill(abort)) return nullptr;
    stream.next_in = input.data();
    stream.avail_in = input.available();
    result = lzma_code(&stream, LZMA_RUN);
    input.take(input.available() - stream.avail_in);
    if (result == LZMA_STREAM_END) return xz_index_ptr(index);
    if (result == LZMA_SEEK_NEEDED) {
      input.seek(stream.seek_pos, abort);
    } else if (result == LZMA_MEM_ERROR) {
      throw plix::bad_alloc();
    } else if (result != LZMA_OK) {
      // Damage, and an index larger than the limit: the file cannot tell.
      return nullptr;
    }
  }
}

xz_decoder::xz_decoder(file_ptr source, uint32_t threads)
    : input_(std::move(source), threads > 1 ? threaded_input_capacity : input_capacity),
      threads_(std::max<uint32_t>(threads, 1)) {
  filters_[0].id = LZMA_VLI_UNKNOWN;
}

xz_decoder::xz_decoder(file_ptr source, checkpoint_sink& sink)
    : input_(std::move(source), input_capacity), sink_(&sink) {
  filters_[0].id = LZMA_VLI_UNKNOWN;
}

xz_decoder::~xz_decoder() {
  lzma_end(&stream_);
}

void xz_decoder::begin_stream() {
  lzma_ret result;
  if (threads_ > 1) {
    lzma_mt options{};
    options.flags = LZMA_TELL_UNSUPPORTED_CHECK;
    options.threads = threads_;
    options.memlimit_threading = threading_memory;
    options.memlimit_stop = no_memory_limit;
    result = lzma_stream_decoder_mt(&stream_, &options);
  } else {
    result = lzma_stream_decoder(&stream_, no_memory_limit, LZMA_TELL_UNSUPPORTED_CHECK);
  }
  if (result != LZMA_OK) xz_throw(result);
  phase_ = phase::stream;
}

void xz_decoder::start(abort_callback& abort) {
  if (sink_ == nullptr) {
    check_magic(input_, abort);
    begin_stream();
    return;
  }
  // The index is read before decoding starts: both move the file.
  hint_ = xz_read_index(input_.source(), abort);
  if (hint_) lzma_index_iter_init(&hint_iter_, hint_.get());
  check_magic(input_, abort);
  read_stream_header(abort);
  next_block(abort);
}

void xz_decoder::start_at(const view_checkpoint& from, abort_callback& abort) {
  const std::vector<uint8_t>& state = from.state;
  if (sink_ == nullptr || state.size() != checkpoint_state_size) {
    throw exception_io_data(err_internal_usage_bug);
  }
  uint64_t offset = load_le(state.data(), 8);
  uint64_t number = load_le(state.data() + 8, 8);
  auto check = static_cast<lzma_check>(state[16]);
  if (number == 0 || check > LZMA_CHECK_ID_MAX || !lzma_check_is_supported(check)) {
    throw exception_io_data(err_internal_usage_bug);
  }
  input_.seek(offset, abort);
  output_ = from.output_position;
  // The header was read by the pass that reported the checkpoint; the
  // footer is compared with what it left: the check type.
  stream_flags_ = lzma_stream_flags{};
  stream_flags_.backward_size = LZMA_VLI_UNKNOWN;
  stream_flags_.check = check;
  first_block_number_ = number;
  begin_block(abort);
}

void xz_decoder::read_stream_header(abort_callback& abort) {
  if (!input_.ensure(LZMA_STREAM_HEADER_SIZE, abort)) throw exception_io_data_truncation();
  lzma_ret result = lzma_stream_header_decode(&stream_flags_, input_.data());
  // The magic of the first stream was checked already: a later one that
  // lacks it is damage, as the stream decoder judges it.
  if (result == LZMA_FORMAT_ERROR) throw exception_io_data(xz_corrupt);
  if (result != LZMA_OK) xz_throw(result);
  if (!lzma_check_is_supported(stream_flags_.check)) throw exception_io_data(xz_unsupported);
  input_.take(LZMA_STREAM_HEADER_SIZE);
  first_block_number_ = 1;
  blocks_done_.clear();
}

void xz_decoder::next_block(abort_callback& abort) {
  for (;;) {
    check_aborted(abort);
    if (!input_.ensure(1, abort)) throw exception_io_data_truncation();
    // A zero byte where a block header would start is the index indicator.
    if (input_.data()[0] != 0) {
      if (output_ != 0) {
        // Every block before this one in the pass decoded and passed its
        // check: where it starts is known from decoding alone.
        view_checkpoint checkpoint;
        checkpoint.output_position = output_;
        try {
          checkpoint.state.reserve(checkpoint_state_size);
          append_le(checkpoint.state, input_.offset(), 8);
          append_le(checkpoint.state, first_block_number_ + blocks_done_.size(), 8);
          append_le(checkpoint.state, static_cast<uint64_t>(stream_flags_.check), 1);
        } catch (const std::bad_alloc&) {
          throw plix::bad_alloc();
        }
        sink_->add_checkpoint(std::move(checkpoint));
      }
      begin_block(abort);
      return;
    }
    finish_stream(abort);
    if (!skip_padding(abort)) {
      end_content();
      return;
    }
    read_stream_header(abort);
  }
}

void xz_decoder::begin_block(abort_callback& abort) {
  xz_block_place expected;
  if (hint_) {
    // The index read at the start names every block of the file in order:
    // one it does not name, or names elsewhere, disagrees with it.
    if (lzma_index_iter_next(&hint_iter_, LZMA_INDEX_ITER_BLOCK)) {
      throw exception_io_data(xz_corrupt);
    }
    expected = xz_place_of(hint_iter_);
    if (expected.compressed_offset != input_.offset()) throw exception_io_data(xz_corrupt);
  }
  if (!input_.ensure(1, abort)) throw exception_io_data_truncation();
  uint32_t header_size = lzma_block_header_size_decode(input_.data()[0]);
  if (!input_.ensure(header_size, abort)) throw exception_io_data_truncation();
  block_ = lzma_block{};
  block_.version = 1;
  block_.header_size = header_size;
  block_.check = stream_flags_.check;
  block_.filters = filters_;
  // The filter options the header allocates are needed only to set up the
  // block decoder; liblzma frees them itself when the header is bad.
  filter_options_guard options{filters_};
  lzma_ret result = lzma_block_header_decode(&block_, nullptr, input_.data());
  if (result != LZMA_OK) xz_throw(result);
  input_.take(header_size);
  if (hint_) {
    // The record's sizes bind the block as the stream decoder's own
    // bookkeeping would at the index: a block that disagrees is corrupt.
    // They bound what is decoded, never what it is.
    if (lzma_block_compressed_size(&block_, expected.unpadded_size) != LZMA_OK ||
        (block_.uncompressed_size != LZMA_VLI_UNKNOWN &&
         block_.uncompressed_size != expected.uncompressed_size)) {
      throw exception_io_data(xz_corrupt);
    }
    block_.uncompressed_size = expected.uncompressed_size;
  }
  result = lzma_block_decoder(&stream_, &block_);
  block_.filters = nullptr;
  if (result != LZMA_OK) xz_throw(result);
  phase_ = phase::block;
}

void xz_decoder::finish_stream(abort_callback& abort) {
  // The number of records comes first: one that is not the number of
  // blocks is damage, found before the index decoder is asked to hold
  // that many records.
  uint64_t blocks = first_block_number_ - 1 + blocks_done_.size();
  input_.ensure(max_index_head, abort);
  size_t head = std::min(input_.available(), max_index_head);
  lzma_vli count = 0;
  size_t count_pos = 0, at = 1;
  lzma_ret result = LZMA_OK;
  if (at < head) result = lzma_vli_decode(&count, &count_pos, input_.data(), &at, head);
  // Unfinished with every byte the file had: it ended inside the count.
  if (result == LZMA_OK) throw exception_io_data_truncation();
  if (result != LZMA_STREAM_END || count != blocks) throw exception_io_data(xz_corrupt);

  lzma_index* decoded = nullptr;
  result = lzma_index_decoder(&stream_, &decoded,
                              xz_index_memory_limit(input_.source()->get_size(abort)));
  if (result != LZMA_OK) xz_throw(result);
  xz_index_ptr index;
  for (;;) {
    check_aborted(abort);
    bool more = input_.refill(abort);
    stream_.next_in = input_.data();
    stream_.avail_in = input_.available();
    result = lzma_code(&stream_, more ? LZMA_RUN : LZMA_FINISH);
    input_.take(input_.available() - stream_.avail_in);
    if (result == LZMA_STREAM_END) break;
    // More records than the file can hold: the count is damaged.
    if (result == LZMA_MEMLIMIT_ERROR) throw exception_io_data(xz_corrupt);
    if (result != LZMA_OK) xz_throw(result);
  }
  index.reset(decoded);

  // The index lists every block of the stream; those from the first one
  // decoded here on must be the blocks seen.
  uint64_t skipped = first_block_number_ - 1;
  uint64_t number = 0;
  bool agree = lzma_index_block_count(index.get()) == blocks;
  xz_for_each_block(index.get(), [&](const xz_block_place& p) {
    if (!agree || number++ < skipped) return;
    const block_sizes& seen = blocks_done_[number - 1 - skipped];
    agree = p.unpadded_size == seen.unpadded && p.uncompressed_size == seen.uncompressed;
  });
  if (!agree) throw exception_io_data(xz_corrupt);

  if (!input_.ensure(LZMA_STREAM_HEADER_SIZE, abort)) throw exception_io_data_truncation();
  lzma_stream_flags footer;
  result = lzma_stream_footer_decode(&footer, input_.data());
  if (result != LZMA_OK) xz_throw(result);
  if (footer.backward_size != lzma_index_size(index.get()) ||
      lzma_stream_flags_compare(&stream_flags_, &footer) != LZMA_OK) {
    throw exception_io_data(xz_corrupt);
  }
  input_.take(LZMA_STREAM_HEADER_SIZE);
}

bool xz_decoder::skip_padding(abort_callback& abort) {
  uint64_t zeros = 0;
  for (;;) {
    check_aborted(abort);
    if (!input_.refill(abort)) break;
    const uint8_t* p = input_.data();
    size_t n = input_.available(), i = 0;
    while (i < n && p[i] == 0) ++i;
    input_.take(i);
    zeros += i;
    if (i < n) break;
  }
  if (zeros % padding_group != 0) throw exception_io_data(xz_corrupt);
  // Whatever follows must be a stream: reading its header tells.
  return input_.available() != 0;
}

void xz_decoder::end_content() {
  phase_ = phase::ended;
  lzma_end(&stream_);
  stream_ = LZMA_STREAM_INIT;
}

lzma_ret xz_decoder::code(uint8_t* out, size_t n, size_t& produced, abort_callback& abort) {
  if (input_.available() == 0 && !input_ended_) input_ended_ = !input_.refill(abort);
  stream_.next_in = input_.data();
  stream_.avail_in = input_.available();
  stream_.next_out = out;
  stream_.avail_out = n;
  lzma_ret result = lzma_code(&stream_, input_ended_ ? LZMA_FINISH : LZMA_RUN);
  input_.take(input_.available() - stream_.avail_in);
  produced = n - stream_.avail_out;
  return result;
}

size_t xz_decoder::decode(uint8_t* out, size_t capacity, abort_callback& abort) {
  size_t done = 0;
  while (done < capacity && phase_ != phase::ended) {
    check_aborted(abort);
    size_t produced = 0;
    lzma_ret result =
        code(out + done, std::min<size_t>(capacity - done, abort_poll_bytes), produced, abort);
    done += produced;
    output_ += produced;
    if (result == LZMA_STREAM_END) {
      input_ended_ = false;
      if (phase_ == phase::block) {
        try {
          blocks_done_.push_back({lzma_block_unpadded_size(&block_), block_.uncompressed_size});
        } catch (const std::bad_alloc&) {
          throw plix::bad_alloc();
        }
        next_block(abort);
      } else if (skip_padding(abort)) {
        // The stream decoder has checked its index and footer; what
        // follows must be another stream, as its header decoder judges.
        begin_stream();
      } else {
        end_content();
      }
    } else if (result != LZMA_OK) {
      xz_throw(result);
    }
  }
  return done;
}
