#include "formats/gzip/gzip_inflater.h"

#if BRENMOOR_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>

#include "formats/gzip/gzip_format.h"
#include "io/little_endian.h"

namespace {

// The input buffer, filled by host reads of 16 KiB. Every ISA-L call
// passes its first 32 KiB of output
// through ISA-L's own history buffer, so calls that end for want of input
// cost a copy each: a large buffer keeps them few.
constexpr uint32_t input_size = 131072;
constexpr uint32_t host_read_size = 16384;
// ISA-L's output, when it must not write ahead in the caller's buffer, goes
// through a stage of this size: about one block's output.
constexpr uint32_t stage_size = 131072;
// Consumed bytes kept before the cursor when the buffer is refilled: ISA-L
// holds up to 64 bits it has read ahead, and a block boundary may lie
// among them.
constexpr uint32_t kept_tail = 16;
// 15 window bits for a 32 KiB window; plus 16 for the gzip wrapper, negated
// for raw deflate.
constexpr int gzip_window_bits = 31;
constexpr int raw_window_bits = -15;
// zlib's data_type after inflate: bit 7 at a block boundary, bit 6 when the
// block just ended was its member's last, bit 8 just after a block header;
// bits 0-2 the unused bits of the last byte taken.
constexpr int zlib_boundary = 128;
constexpr int zlib_last_block = 64;

#if BRENMOOR_ISAL
// The longest block header: 14 + 19 * 3 bits, then at most 316 code lengths
// of at most 7 + 7 bits each, under 600 bytes.
constexpr uint32_t header_lookahead = 1024;
constexpr int zlib_after_header = 256;

// Returned by the ISA-L road when ISA-L refuses a block; never leaves the
// inflater.
const char isal_refused[] = " refused by ISA-L";
#endif

}  // namespace

// zError indexes a fixed table, so it is only asked about the codes that
// table covers.
error_text zlib_error_text(int code) {
  switch (code) {
    case Z_MEM_ERROR: return err_out_of_memory;
    case Z_DATA_ERROR: return err_corrupt_file;
    default: break;
  }
  if (code >= Z_VERSION_ERROR && code <= Z_NEED_DICT) {
    const char* text = zError(code);
    if (text != nullptr && text[0] != '\0') return text;
  }
  return err_unzip_failed;
}

gzip_inflater::gzip_inflater() = default;

gzip_inflater::~gzip_inflater() {
  if (zlib_live_) inflateEnd(&zlib_);
}

error_text gzip_inflater::prepare(File_Reader& source) {
  source_ = &source;
  try {
    input_.set_size(input_size);
#if BRENMOOR_ISAL
    isal_ = std::make_unique<inflate_state>();
    window_ = std::make_unique<uint8_t[]>(gzip_window_size);
#endif
    scratch_ = std::make_unique<uint8_t[]>(gzip_window_size);
  } catch (const std::bad_alloc&) {
    return err_out_of_memory;
  }
#if BRENMOOR_ISAL
  isal_inflate_init(isal_.get());
#endif
  int result = inflateInit2(&zlib_, raw_window_bits);
  if (result != Z_OK) return zlib_error_text(result);
  zlib_live_ = true;
  return nullptr;
}

error_text gzip_inflater::start(File_Reader& source, const uint8_t* first, uint32_t count) {
  if (count > input_size) return err_internal_usage_bug;
  if (error_text error = prepare(source)) return error;
  std::memcpy(input_.data(), first, count);
  buffer_offset_ = 0;
  buffered_ = count;
  next_ = input_.data();
  avail_ = count;
#if BRENMOOR_ISAL
  phase_ = phase::member_header;
  return nullptr;
#else
  return begin_zlib_road();
#endif
}

error_text gzip_inflater::resume(File_Reader& source, const gzip_resume_point& point) {
  if (point.bits > 7 || point.input_offset == 0 ||
      point.window.size() != std::min<uint64_t>(gzip_window_size, point.member_length)) {
    return err_internal_usage_bug;
  }
  if (error_text error = prepare(source)) return error;
  try {
    origin_ = point;
  } catch (const std::bad_alloc&) {
    return err_out_of_memory;
  }
  from_point_ = true;
  // The byte holding the first unused bits is read again from the file.
  uint64_t first = point.input_offset - (point.bits != 0 ? 1 : 0);
  if (error_text error = source.seek(first)) return error;
  buffer_offset_ = first;
  buffered_ = 0;
  next_ = input_.data();
  avail_ = 0;
  if (error_text error = read_more(0)) return error;
  output_ = point.output_position;
#if BRENMOOR_ISAL
  block_bit_ = point.input_offset * 8 - point.bits;
  member_ = point.member;
  member_length_ = point.member_length;
  member_crc_ = point.member_crc;
  window_length_ = static_cast<uint32_t>(point.window.size());
  if (window_length_ != 0) std::memcpy(window_.get(), point.window.data(), window_length_);
  phase_ = phase::block_start;
  return nullptr;
#else
  return begin_zlib_road();
#endif
}

error_text gzip_inflater::keep_bytes_past_output() {
  try {
    if (!stage_) stage_ = std::make_unique<uint8_t[]>(stage_size);
  } catch (const std::bad_alloc&) {
    return err_out_of_memory;
  }
  return nullptr;
}

uint64_t gzip_inflater::cursor_offset() const {
  return buffer_offset_ + static_cast<uint64_t>(next_ - input_.data());
}

void gzip_inflater::set_cursor(uint64_t offset) {
  auto index = static_cast<uint32_t>(offset - buffer_offset_);
  next_ = input_.data() + index;
  avail_ = buffered_ - index;
}

error_text gzip_inflater::read_more(uint32_t keep) {
  auto taken = static_cast<uint32_t>(next_ - input_.data());
  keep = std::min(keep, taken);
  uint32_t moved = keep + avail_;
  if (taken != keep) {
    std::memmove(input_.data(), next_ - keep, moved);
    buffer_offset_ += taken - keep;
    next_ = input_.data() + keep;
  }
  buffered_ = moved;
  while (buffered_ < input_size) {
    auto got = static_cast<int32_t>(std::min(input_size - buffered_, host_read_size));
    error_text error = source_->read_avail(input_.data() + buffered_, got);
    buffered_ += static_cast<uint32_t>(got);
    avail_ += static_cast<uint32_t>(got);
    if (error != nullptr) return error;
    // The file has ended.
    if (got < static_cast<int32_t>(host_read_size)) break;
  }
  return nullptr;
}

error_text gzip_inflater::refill() {
  if (error_text error = read_more(kept_tail)) return error;
  // The file ended while the member still needed input.
  return avail_ == 0 ? err_corrupt_file : nullptr;
}

error_text gzip_inflater::ensure_lookahead(uint32_t bytes) {
  return avail_ < bytes ? read_more(kept_tail) : nullptr;
}

bool gzip_inflater::next_member_follows(error_text& error) {
  error = avail_ < 2 ? read_more(kept_tail) : nullptr;
  return error == nullptr && avail_ >= 2 && gzip_starts_member(next_);
}

error_text gzip_inflater::read_trailer(uint32_t crc, uint64_t length) {
  uint8_t trailer[gzip_trailer_size];
  for (uint32_t i = 0; i < gzip_trailer_size; ++i) {
    if (avail_ == 0) {
      if (error_text error = refill()) return error;
    }
    trailer[i] = *next_++;
    --avail_;
  }
  if (load_le32(trailer) != crc || load_le32(trailer + 4) != static_cast<uint32_t>(length)) {
    return err_corrupt_file;
  }
  return nullptr;
}

error_text gzip_inflater::inflate_some(uint8_t* out, uint32_t capacity, uint32_t& produced) {
  produced = 0;
  at_boundary_ = false;
  if (ended_ || capacity == 0) return nullptr;
  if (source_ == nullptr) return err_corrupt_file;
  if (use_zlib_) return zlib_inflate_some(out, capacity, produced);
#if BRENMOOR_ISAL
  error_text error = isal_inflate_some(out, capacity, produced);
  if (error == isal_refused) {
    if ((error = switch_to_zlib()) != nullptr) return error;
    uint32_t more = 0;
    error = zlib_inflate_some(out + produced, capacity - produced, more);
    produced += more;
    return error;
  }
  if (error == nullptr && !ended_) keep_window(out, produced);
  return error;
#else
  return err_internal_bug;
#endif
}

#if BRENMOOR_ISAL

// The ISA-L road. Each block goes through the same steps: zlib reads its
// header, its BFINAL bit is set in the buffer, ISA-L starts on it afresh
// with the member's last 32 KiB as its dictionary and inflates it to its
// end, where the bit position of the next block is read off ISA-L's state.
error_text gzip_inflater::isal_inflate_some(uint8_t* out, uint32_t capacity, uint32_t& produced) {
  for (;;) {
    if ((phase_ == phase::in_block || phase_ == phase::block_start) && produced == capacity) {
      return nullptr;
    }
    switch (phase_) {
      case phase::member_header:
        if (error_text error = read_member_header()) return error;
        break;
      case phase::block_start:
        if (output_ >= stop_from_) {
          at_boundary_ = true;
          return nullptr;
        }
        if (error_text error = begin_block(out, produced)) return error;
        break;
      case phase::in_block: {
        // ISA-L's bit reader stands inside the block begin_block set up;
        // it takes input from the cursor and gives output at `produced`.
        inflate_state& s = *isal_;
        uint8_t* target = stage_ ? stage_.get() : out + produced;
        s.next_in = next_;
        s.avail_in = avail_;
        s.next_out = target;
        s.avail_out = stage_ ? std::min(capacity - produced, stage_size) : capacity - produced;
        int result = isal_inflate(&s);
        auto got = static_cast<uint32_t>(s.next_out - target);
        if (stage_) std::memcpy(out + produced, target, got);
        member_crc_ = crc32_gzip_refl(member_crc_, out + produced, got);
        produced += got;
        output_ += got;
        member_length_ += got;
        next_ = s.next_in;
        avail_ = s.avail_in;
        if (result < 0) return isal_refused;
        if (s.block_state == ISAL_BLOCK_FINISH) {
          block_bit_ = cursor_offset() * 8 - static_cast<uint64_t>(s.read_in_length);
          phase_ = last_block_ ? phase::trailer : phase::block_start;
        } else if (avail_ == 0 && s.block_state != ISAL_BLOCK_INPUT_DONE) {
          if (error_text error = refill()) return error;
        } else if (s.avail_out != 0) {
          // ISA-L returns early only when it has used up its input; should
          // it not have, zlib decides.
          return isal_refused;
        }
        break;
      }
      case phase::trailer: {
        set_cursor((block_bit_ + 7) / 8);
        if (error_text error = read_trailer(member_crc_, member_length_)) return error;
        error_text error = nullptr;
        if (!next_member_follows(error)) {
          if (error != nullptr) return error;
          phase_ = phase::done;
          ended_ = true;
          return nullptr;
        }
        ++member_;
        phase_ = phase::member_header;
        break;
      }
      case phase::done: return nullptr;
    }
  }
}

// zlib reads the member header, with the gzip wrapper, and stops before the
// first block.
error_text gzip_inflater::read_member_header() {
  int result = inflateReset2(&zlib_, gzip_window_bits);
  if (result != Z_OK) return zlib_error_text(result);
  uint8_t unused;
  for (;;) {
    if (avail_ == 0) {
      if (error_text error = refill()) return error;
    }
    zlib_.next_in = next_;
    zlib_.avail_in = avail_;
    zlib_.next_out = &unused;
    zlib_.avail_out = 0;
    result = inflate(&zlib_, Z_BLOCK);
    next_ = zlib_.next_in;
    avail_ = zlib_.avail_in;
    if ((zlib_.data_type & zlib_boundary) != 0) break;
    if (result != Z_OK && result != Z_BUF_ERROR) return zlib_error_text(result);
  }
  // The header ends on a byte boundary.
  block_bit_ = cursor_offset() * 8;
  member_length_ = 0;
  member_crc_ = 0;
  window_length_ = 0;
  phase_ = phase::block_start;
  return nullptr;
}

// zlib reads the header of the block whose first bit is next_[0]'s bit
// block_bit_ % 8, without inflating anything.
error_text gzip_inflater::check_block_header() {
  int result = inflateReset2(&zlib_, raw_window_bits);
  if (result != Z_OK) return zlib_error_text(result);
  int bit = static_cast<int>(block_bit_ % 8);
  if (bit != 0) {
    result = inflatePrime(&zlib_, 8 - bit, next_[0] >> bit);
    if (result != Z_OK) return zlib_error_text(result);
  }
  uint8_t unused;
  zlib_.next_in = next_ + (bit != 0 ? 1 : 0);
  zlib_.avail_in = avail_ - (bit != 0 ? 1 : 0);
  zlib_.next_out = &unused;
  zlib_.avail_out = 0;
  result = inflate(&zlib_, Z_TREES);
  if ((zlib_.data_type & zlib_after_header) != 0) return nullptr;
  if (result != Z_OK && result != Z_BUF_ERROR) return zlib_error_text(result);
  // The buffer holds the whole header unless the file ends inside it.
  return err_corrupt_file;
}

error_text gzip_inflater::begin_block(const uint8_t* out, uint32_t produced) {
  set_cursor(block_bit_ / 8);
  if (error_text error = ensure_lookahead(header_lookahead)) return error;
  if (avail_ == 0) return err_corrupt_file;
  if (error_text error = check_block_header()) return error;

  int bit = static_cast<int>(block_bit_ % 8);
  last_block_ = ((next_[0] >> bit) & 1) != 0;
  next_[0] = static_cast<uint8_t>(next_[0] | (1 << bit));

  // The member's last output: the end of this call's output, or the kept
  // window followed by it.
  auto want = static_cast<uint32_t>(std::min<uint64_t>(gzip_window_size, member_length_));
  const uint8_t* dictionary = out + produced - std::min(want, produced);
  if (produced < want) {
    uint32_t kept = want - produced;
    std::memcpy(scratch_.get(), window_.get() + window_length_ - kept, kept);
    std::memcpy(scratch_.get() + kept, out, produced);
    dictionary = scratch_.get();
  }
  inflate_state& s = *isal_;
  isal_inflate_reset(&s);
  if (want != 0 && isal_inflate_set_dict(&s, const_cast<uint8_t*>(dictionary), want) != COMP_OK) {
    return err_internal_bug;
  }
  s.read_in = next_[0] >> bit;
  s.read_in_length = 8 - bit;
  ++next_;
  --avail_;
  phase_ = phase::in_block;
  return nullptr;
}

void gzip_inflater::keep_window(const uint8_t* out, uint32_t produced) {
  auto want = static_cast<uint32_t>(std::min<uint64_t>(gzip_window_size, member_length_));
  if (produced >= want) {
    std::memcpy(window_.get(), out + produced - want, want);
  } else {
    uint32_t kept = want - produced;
    std::memmove(window_.get(), window_.get() + window_length_ - kept, kept);
    std::memcpy(window_.get() + kept, out, produced);
  }
  window_length_ = want;
}

// The zlib road: zlib alone, from the inflater's starting point, passing
// over what the ISA-L road delivered before it was refused.
error_text gzip_inflater::switch_to_zlib() {
  uint64_t origin_output = from_point_ ? origin_.output_position : 0;
  skip_ = output_ - origin_output;
  output_ = origin_output;
  uint64_t first = from_point_ ? origin_.input_offset - (origin_.bits != 0 ? 1 : 0) : 0;
  if (error_text error = source_->seek(first)) return error;
  buffer_offset_ = first;
  buffered_ = 0;
  next_ = input_.data();
  avail_ = 0;
  if (error_text error = read_more(0)) return error;
  return begin_zlib_road();
}
#endif

void gzip_inflater::describe_boundary(gzip_resume_point& point) const {
  point.output_position = output_;
  point.member = member_;
  point.member_length = member_length_;
#if BRENMOOR_ISAL
  if (!use_zlib_) {
    uint64_t byte = block_bit_ / 8;
    auto bit = static_cast<uint8_t>(block_bit_ % 8);
    point.input_offset = bit != 0 ? byte + 1 : byte;
    point.bits = bit != 0 ? static_cast<uint8_t>(8 - bit) : 0;
    point.byte = bit != 0 ? input_.data()[byte - buffer_offset_] : 0;
    point.member_crc = member_crc_;
    point.window.assign(window_.get(), window_.get() + window_length_);
    return;
  }
#endif
  point.input_offset = cursor_offset();
  point.bits = static_cast<uint8_t>(zlib_.data_type & 7);
  point.byte = point.bits != 0 ? next_[-1] : 0;
  point.member_crc = zlib_raw_ ? member_crc_ : static_cast<uint32_t>(zlib_.adler);
  point.window.resize(gzip_window_size);
  uInt length = 0;
  inflateGetDictionary(const_cast<z_stream*>(&zlib_), point.window.data(), &length);
  point.window.resize(length);
}

// Sets zlib up at the inflater's starting point, where the cursor stands:
// the first member's header, or the byte holding a resume point's first
// unused bits.
error_text gzip_inflater::begin_zlib_road() {
  use_zlib_ = true;
  int result = inflateReset2(&zlib_, from_point_ ? raw_window_bits : gzip_window_bits);
  if (result != Z_OK) return zlib_error_text(result);
  zlib_raw_ = from_point_;
  if (!from_point_) {
    member_ = 0;
    member_length_ = 0;
    return nullptr;
  }
  if (origin_.bits != 0) {
    if (avail_ == 0) return err_corrupt_file;
    result = inflatePrime(&zlib_, origin_.bits, next_[0] >> (8 - origin_.bits));
    if (result != Z_OK) return zlib_error_text(result);
    ++next_;
    --avail_;
  }
  if (!origin_.window.empty()) {
    result = inflateSetDictionary(&zlib_, origin_.window.data(),
                                  static_cast<uInt>(origin_.window.size()));
    if (result != Z_OK) return zlib_error_text(result);
  }
  member_ = origin_.member;
  member_length_ = origin_.member_length;
  member_crc_ = origin_.member_crc;
  return nullptr;
}

error_text gzip_inflater::zlib_inflate_some(uint8_t* out, uint32_t capacity, uint32_t& produced) {
  produced = 0;
  while (skip_ != 0 && !ended_) {
    auto n = static_cast<uint32_t>(std::min<uint64_t>(skip_, gzip_window_size));
    uint32_t got = 0;
    if (error_text error = zlib_step(scratch_.get(), n, Z_NO_FLUSH, got)) return error;
    skip_ -= got;
  }
  // zlib cannot end before the bytes ISA-L gave: they came from blocks whose
  // headers zlib accepted.
  if (skip_ != 0) return err_internal_bug;
  while (produced < capacity && !ended_) {
    uint32_t slice = capacity - produced;
    int flush = Z_BLOCK;
    if (output_ < stop_from_) {
      slice = static_cast<uint32_t>(std::min<uint64_t>(slice, stop_from_ - output_));
      flush = Z_NO_FLUSH;
    }
    uint32_t got = 0;
    error_text error = zlib_step(out + produced, slice, flush, got);
    produced += got;
    if (error != nullptr || at_boundary_) return error;
  }
  return nullptr;
}

// Inflates into `out` until `n` bytes, the end of the data, or (with
// Z_BLOCK) a boundary inflate_some was asked to stop at.
error_text gzip_inflater::zlib_step(uint8_t* out, uint32_t n, int flush, uint32_t& produced) {
  zlib_.next_out = out;
  zlib_.avail_out = n;
  error_text error = nullptr;
  for (;;) {
    if (avail_ == 0 && (error = refill()) != nullptr) break;
    zlib_.next_in = next_;
    zlib_.avail_in = avail_;
    uint8_t* before = zlib_.next_out;
    int result = inflate(&zlib_, flush);
    next_ = zlib_.next_in;
    avail_ = zlib_.avail_in;
    auto got = static_cast<uInt>(zlib_.next_out - before);
    output_ += got;
    member_length_ += got;
    if (zlib_raw_) member_crc_ = static_cast<uint32_t>(crc32(member_crc_, before, got));
    if (result == Z_STREAM_END) {
      if ((error = zlib_end_member()) != nullptr || ended_ || zlib_.avail_out == 0) break;
      continue;
    }
    if (result != Z_OK) {
      error = zlib_error_text(result);
      break;
    }
    bool boundary = (zlib_.data_type & zlib_boundary) != 0;
    if (flush == Z_BLOCK && boundary && (zlib_.data_type & zlib_last_block) == 0 &&
        output_ >= stop_from_) {
      at_boundary_ = true;
      break;
    }
    if (zlib_.avail_out == 0) break;
    // Otherwise zlib returns early only when it has used up its input.
    if (avail_ != 0 && !boundary) {
      error = err_corrupt_file;
      break;
    }
  }
  produced = n - zlib_.avail_out;
  return error;
}

// After zlib's end of a member: its trailer is checked here when zlib
// inflated raw deflate; then the next member starts, or the data ends.
error_text gzip_inflater::zlib_end_member() {
  if (zlib_raw_) {
    if (error_text error = read_trailer(member_crc_, member_length_)) return error;
  }
  error_text error = nullptr;
  if (!next_member_follows(error)) {
    if (error == nullptr) ended_ = true;
    return error;
  }
  int result = zlib_raw_ ? inflateReset2(&zlib_, gzip_window_bits) : inflateReset(&zlib_);
  if (result != Z_OK) return zlib_error_text(result);
  zlib_raw_ = false;
  ++member_;
  member_length_ = 0;
  return nullptr;
}
