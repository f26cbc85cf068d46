#include "formats/zstd/zstd_decoder.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>

#include "io/little_endian.h"

using namespace sonovale_io;

namespace {

constexpr uint32_t zstd_magic = 0xFD2FB528;
// Skippable frames: 0x184D2A50 to 0x184D2A5F, then a 32-bit length.
constexpr uint32_t skippable_magic = 0x184D2A50;
constexpr uint32_t skippable_mask = 0xFFFFFFF0;
constexpr size_t magic_size = 4;
constexpr size_t skippable_header_size = 8;
constexpr size_t block_header_size = 3;
constexpr size_t checksum_size = 4;
// Block types (RFC 8878 3.1.1.2.2): raw, RLE (one stored byte), compressed,
// reserved.
constexpr uint32_t block_rle = 1;
constexpr uint32_t block_reserved = 3;
constexpr uint32_t size_walk_capacity = 64;

bool starts_frame(const uint8_t* p) {
  uint32_t magic = load_le32(p);
  return magic == zstd_magic || (magic & skippable_mask) == skippable_magic;
}

// Whether the `n` < 4 bytes at `p` begin a frame's magic.
bool begins_magic(const uint8_t* p, size_t n) {
  static constexpr uint8_t zstd_bytes[magic_size] = {0x28, 0xB5, 0x2F, 0xFD};
  static constexpr uint8_t skippable_bytes[magic_size] = {0x50, 0x2A, 0x4D, 0x18};
  if (std::memcmp(p, zstd_bytes, n) == 0) return true;
  for (size_t i = 0; i < n; ++i) {
    uint8_t mask = i == 0 ? 0xF0 : 0xFF;
    if ((p[i] & mask) != skippable_bytes[i]) return false;
  }
  return true;
}

// Reads the first bytes of the file and refuses what does not start a frame.
void check_first_frame(stream_input& input, abort_callback& abort) {
  input.seek(0, abort);
  bool whole = input.ensure(magic_size, abort);
  if (whole) {
    if (!starts_frame(input.data())) throw exception_io_data(zstd_not_zstd);
    return;
  }
  if (input.available() == 0 || !begins_magic(input.data(), input.available())) {
    throw exception_io_data(zstd_not_zstd);
  }
  throw exception_io_data_truncation();
}

[[noreturn]] void zstd_throw(size_t result) {
  switch (ZSTD_getErrorCode(result)) {
    case ZSTD_error_memory_allocation: throw plix::bad_alloc();
    case ZSTD_error_frameParameter_unsupported:
    case ZSTD_error_frameParameter_windowTooLarge:
    case ZSTD_error_dictionary_wrong:
    case ZSTD_error_version_unsupported: throw exception_io_data(zstd_unsupported);
    default: throw exception_io_data(zstd_corrupt);
  }
}

// Passes over `n` bytes of the walk's input; false when the file ends first.
bool skip(stream_input& input, uint64_t n, uint64_t file_size, abort_callback& abort) {
  if (n <= input.available()) {
    input.take(static_cast<size_t>(n));
    return true;
  }
  if (n > file_size - input.offset()) return false;
  input.seek(input.offset() + n, abort);
  return true;
}

}  // namespace

uint64_t zstd_declared_size(const file_ptr& source, abort_callback& abort) {
  stream_input input(source, size_walk_capacity);
  check_first_frame(input, abort);
  uint64_t file_size = source->get_size(abort);
  if (file_size == unknown_size) return unknown_size;
  uint64_t total = 0;
  for (;;) {
    check_aborted(abort);
    // The frames end where the file ends; other bytes make the decoder
    // refuse the file, which then claims no size.
    if (!input.ensure(magic_size, abort)) return input.available() == 0 ? total : unknown_size;
    if (!starts_frame(input.data())) return unknown_size;
    if (load_le32(input.data()) != zstd_magic) {
      if (!input.ensure(skippable_header_size, abort)) return unknown_size;
      uint64_t length = load_le32(input.data() + magic_size);
      if (!skip(input, skippable_header_size + length, file_size, abort)) return unknown_size;
      continue;
    }
    input.ensure(ZSTD_FRAMEHEADERSIZE_MAX, abort);
    ZSTD_frameHeader header;
    size_t result = ZSTD_getFrameHeader(&header, input.data(), input.available());
    if (result != 0 || header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN ||
        header.frameContentSize > unknown_size - 1 - total) {
      return unknown_size;
    }
    total += header.frameContentSize;
    input.take(header.headerSize);
    for (bool last = false; !last;) {
      if (!input.ensure(block_header_size, abort)) return unknown_size;
      auto block = static_cast<uint32_t>(load_le(input.data(), 3));
      input.take(block_header_size);
      last = (block & 1) != 0;
      uint32_t type = (block >> 1) & 3;
      if (type == block_reserved) return unknown_size;
      uint64_t stored = type == block_rle ? 1 : block >> 3;
      if (!skip(input, stored, file_size, abort)) return unknown_size;
    }
    if (header.checksumFlag && !skip(input, checksum_size, file_size, abort)) return unknown_size;
  }
}

zstd_decoder::zstd_decoder(file_ptr source, checkpoint_sink* sink)
    : input_(std::move(source), static_cast<uint32_t>(ZSTD_DStreamInSize())), sink_(sink) {
  context_ = ZSTD_createDCtx();
  if (context_ == nullptr) throw plix::bad_alloc();
}

zstd_decoder::~zstd_decoder() {
  ZSTD_freeDCtx(context_);
}

void zstd_decoder::start(abort_callback& abort) {
  check_first_frame(input_, abort);
  begin_frame(abort);
}

void zstd_decoder::start_at_frame(uint64_t offset, uint64_t output_position,
                                  abort_callback& abort) {
  input_.seek(offset, abort);
  output_ = output_position;
  begin_frame(abort);
}

void zstd_decoder::begin_frame(abort_callback& abort) {
  frame_start_ = output_;
  frame_declared_ = ZSTD_CONTENTSIZE_UNKNOWN;
  input_.ensure(ZSTD_FRAMEHEADERSIZE_MAX, abort);
  ZSTD_frameHeader header;
  // A header cut short is left to the decoder, which reports truncation.
  if (ZSTD_getFrameHeader(&header, input_.data(), input_.available()) == 0 &&
      header.frameType == ZSTD_frame) {
    frame_declared_ = header.frameContentSize;
  }
}

void zstd_decoder::after_frame(abort_callback& abort) {
  // libzstd's streaming decoder does not compare an empty last block's
  // frame with its declared size; every frame is compared here.
  if (frame_declared_ != ZSTD_CONTENTSIZE_UNKNOWN && output_ - frame_start_ != frame_declared_) {
    throw exception_io_data(zstd_corrupt);
  }
  // After a frame the file ends or another frame starts. Other bytes are
  // refused as the zstd tool refuses them: fewer than a magic's 4 are an
  // unknown header, not a frame cut short.
  if (!input_.ensure(magic_size, abort)) {
    if (input_.available() != 0) throw exception_io_data(zstd_corrupt);
    ended_ = true;
    return;
  }
  if (!starts_frame(input_.data())) throw exception_io_data(zstd_corrupt);
  if (sink_ != nullptr) {
    view_checkpoint checkpoint;
    checkpoint.output_position = output_;
    try {
      append_le(checkpoint.state, input_.offset(), 8);
    } catch (const std::bad_alloc&) {
      throw plix::bad_alloc();
    }
    sink_->add_checkpoint(std::move(checkpoint));
  }
  begin_frame(abort);
}

size_t zstd_decoder::decode(uint8_t* out, size_t capacity, abort_callback& abort) {
  size_t done = 0;
  while (done < capacity && !ended_) {
    check_aborted(abort);
    if (input_.available() == 0) input_.refill(abort);
    ZSTD_inBuffer in{input_.data(), input_.available(), 0};
    ZSTD_outBuffer o{out + done, std::min<size_t>(capacity - done, abort_poll_bytes), 0};
    size_t result = ZSTD_decompressStream(context_, &o, &in);
    input_.take(in.pos);
    done += o.pos;
    output_ += o.pos;
    if (ZSTD_isError(result)) zstd_throw(result);
    if (result == 0) {
      after_frame(abort);
    } else if (o.pos < o.size && input_.available() == 0 && !input_.refill(abort)) {
      // The frame wants more input and has flushed all it could.
      throw exception_io_data_truncation();
    }
  }
  return done;
}
