#include "formats/xz/xz_decoder.h"

#include <algorithm>
#include <cstring>

using namespace sonovale_io;

namespace {

constexpr uint8_t xz_magic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr size_t stream_footer_size = 12;
constexpr size_t padding_group = 4;
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

xz_index_ptr xz_read_index(const file_ptr& source, abort_callback& abort) {
  uint64_t file_size = source->get_size(abort);
  if (file_size == unknown_size || !source->can_seek()) return nullptr;
  stream_input input(source, index_input_capacity);
  input.seek(0, abort);
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  lzma_ret result = lzma_file_info_decoder(&stream, &index, no_memory_limit, file_size);
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
      return nullptr;
    }
  }
}

xz_decoder::xz_decoder(file_ptr source, uint32_t threads)
    : input_(std::move(source), threads > 1 ? threaded_input_capacity : input_capacity),
      threads_(std::max<uint32_t>(threads, 1)) {
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
  check_magic(input_, abort);
  begin_stream();
}

void xz_decoder::start_at_block(const xz_block_place& place, abort_callback& abort) {
  input_.seek(place.compressed_offset, abort);
  check_ = place.check;
  first_block_number_ = place.number_in_stream;
  begin_block(&place, abort);
}

void xz_decoder::begin_block(const xz_block_place* expected, abort_callback& abort) {
  if (!input_.ensure(1, abort)) throw exception_io_data_truncation();
  uint32_t header_size = lzma_block_header_size_decode(input_.data()[0]);
  if (!input_.ensure(header_size, abort)) throw exception_io_data_truncation();
  block_ = lzma_block{};
  block_.version = 1;
  block_.header_size = header_size;
  block_.check = static_cast<lzma_check>(check_);
  block_.filters = filters_;
  // The filter options the header allocates are needed only to set up the
  // block decoder; liblzma frees them itself when the header is bad.
  filter_options_guard options{filters_};
  lzma_ret result = lzma_block_header_decode(&block_, nullptr, input_.data());
  if (result != LZMA_OK) xz_throw(result);
  input_.take(header_size);
  if (expected != nullptr) {
    // The index's sizes bind the block as the stream decoder's own
    // bookkeeping would: a block that disagrees is corrupt.
    if (lzma_block_compressed_size(&block_, expected->unpadded_size) != LZMA_OK ||
        (block_.uncompressed_size != LZMA_VLI_UNKNOWN &&
         block_.uncompressed_size != expected->uncompressed_size)) {
      throw exception_io_data(xz_corrupt);
    }
    block_.uncompressed_size = expected->uncompressed_size;
  }
  result = lzma_block_decoder(&stream_, &block_);
  block_.filters = nullptr;
  if (result != LZMA_OK) xz_throw(result);
  phase_ = phase::block;
}

void xz_decoder::after_block(abort_callback& abort) {
  try {
    blocks_done_.push_back({lzma_block_unpadded_size(&block_), block_.uncompressed_size});
  } catch (const std::bad_alloc&) {
    throw plix::bad_alloc();
  }
  if (!input_.ensure(1, abort)) throw exception_io_data_truncation();
  // A zero byte where a block header would start is the index indicator.
  if (input_.data()[0] != 0) {
    begin_block(nullptr, abort);
  } else {
    finish_stream(abort);
    after_stream(abort);
  }
}

void xz_decoder::finish_stream(abort_callback& abort) {
  lzma_index* decoded = nullptr;
  lzma_ret result = lzma_index_decoder(&stream_, &decoded, no_memory_limit);
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
    if (result != LZMA_OK) xz_throw(result);
  }
  index.reset(decoded);

  // The index lists every block of the stream; those from the first one
  // decoded here on must be the blocks seen.
  uint64_t skipped = first_block_number_ - 1;
  if (lzma_index_block_count(index.get()) != skipped + blocks_done_.size()) {
    throw exception_io_data(xz_corrupt);
  }
  uint64_t number = 0;
  bool agree = true;
  xz_for_each_block(index.get(), [&](const xz_block_place& p) {
    if (number++ < skipped) return;
    const block_sizes& seen = blocks_done_[number - 1 - skipped];
    agree = agree && p.unpadded_size == seen.unpadded && p.uncompressed_size == seen.uncompressed;
  });
  if (!agree) throw exception_io_data(xz_corrupt);

  if (!input_.ensure(stream_footer_size, abort)) throw exception_io_data_truncation();
  lzma_stream_flags footer;
  result = lzma_stream_footer_decode(&footer, input_.data());
  if (result != LZMA_OK) xz_throw(result);
  if (footer.check != static_cast<lzma_check>(check_) ||
      footer.backward_size != lzma_index_size(index.get())) {
    throw exception_io_data(xz_corrupt);
  }
  input_.take(stream_footer_size);
  blocks_done_.clear();
}

void xz_decoder::after_stream(abort_callback& abort) {
  for (;;) {
    if (!input_.ensure(padding_group, abort)) break;
    static constexpr uint8_t zeros[padding_group] = {};
    if (std::memcmp(input_.data(), zeros, padding_group) != 0) break;
    input_.take(padding_group);
  }
  if (input_.ensure(sizeof xz_magic, abort) &&
      std::memcmp(input_.data(), xz_magic, sizeof xz_magic) == 0) {
    begin_stream();
    return;
  }
  // Other bytes after the streams are not xz data: the content has ended.
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
    if (result == LZMA_STREAM_END) {
      input_ended_ = false;
      if (phase_ == phase::block) {
        after_block(abort);
      } else {
        // The stream decoder has checked its index and footer.
        after_stream(abort);
      }
    } else if (result != LZMA_OK) {
      xz_throw(result);
    }
  }
  return done;
}
