#include "formats/gzip_view.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "archive/data_reader.h"
#include "formats/gzip_reader.h"
#include "io/byte_array.h"

using namespace sonovale_io;

namespace {

// A gzip file holds at least a 10-byte header and an 8-byte trailer.
constexpr int32_t min_gzip_size = 18;
constexpr int trailer_size = 8;
// 15 window bits for a 32 KiB window; plus 16 for the gzip wrapper, negated
// for raw deflate.
constexpr int gzip_window_bits = 31;
constexpr int raw_window_bits = -15;
constexpr uint32_t window_size = 32768;
constexpr uint32_t input_size = 65536;
// Output between two polls of the abort callback.
constexpr size_t poll_slice = 1 << 20;

bool starts_member(const uint8_t* p) {
  return p[0] == 0x1F && p[1] == 0x8B;
}

uint32_t get_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// What a checkpoint's state holds, in this little-endian layout:
//   0  u64  input offset of the first byte zlib has not taken
//   8  u8   bits of the byte before it that are still unused (0 to 7)
//   9  u8   that byte
//  10  u64  member number, from 0
//  18  u64  the member's output so far
//  26  u32  the member's CRC-32 so far
//  30       the member's last output bytes, up to 32 KiB
struct resume_point {
  uint64_t input_offset = 0;
  uint8_t bits = 0;
  uint8_t byte = 0;
  uint64_t member = 0;
  uint64_t member_length = 0;
  uint32_t member_crc = 0;
};
constexpr size_t state_header_size = 30;

void put_le(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t get_le(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{p[i]} << (8 * i);
  return value;
}

// Reads a state this format wrote; anything else is a caller's mistake.
resume_point parse_state(const std::vector<uint8_t>& state) {
  if (state.size() < state_header_size || state.size() > state_header_size + window_size) {
    throw exception_io_data(err_internal_usage_bug);
  }
  const uint8_t* p = state.data();
  resume_point r;
  r.input_offset = get_le(p, 8);
  r.bits = p[8];
  r.byte = p[9];
  r.member = get_le(p + 10, 8);
  r.member_length = get_le(p + 18, 8);
  r.member_crc = static_cast<uint32_t>(get_le(p + 26, 4));
  if (r.bits > 7 || r.input_offset == 0) throw exception_io_data(err_internal_usage_bug);
  return r;
}

// Forwards to the abort callback of the current call, so that the file
// reader, made once per pass, always polls the caller's callback.
class forwarding_abort final : public abort_callback {
 public:
  explicit forwarding_abort(abort_callback& first) : target(&first) {}
  abort_callback* target;
  bool is_aborting() const override { return target->is_aborting(); }
  void* get_abort_event() const override { return target->get_abort_event(); }
};

// One pass. zlib inflates in one of two modes: with the gzip wrapper, which
// reads member headers and checks trailers itself, or raw, from a
// checkpoint to the end of that member, whose trailer is then checked here
// against the CRC-32 and length carried over and kept up to date.
class gzip_pass final : public view_pass {
 public:
  gzip_pass(const file_ptr& source, checkpoint_sink& sink, uint64_t spacing, abort_callback& abort)
      : source_(source), abort_(abort), reader_(source_, abort_), sink_(sink), spacing_(spacing) {}
  ~gzip_pass() override { end_zlib(); }

  void start_at_beginning();
  void start_at(const view_checkpoint& from);

  size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) override;

 private:
  void end_zlib();
  // Fills the input buffer anew; " corrupt file" when the file has ended.
  void refill();
  // Inflates into `out` until `n` bytes, the end of the content, or (with
  // Z_BLOCK) a checkpoint recorded. Returns the bytes produced.
  size_t inflate_slice(uint8_t* out, size_t n, int flush);
  // After zlib's end of a member: checks the trailer when inflating raw,
  // then starts the next member or ends the content.
  void end_member();
  // Checks the 8-byte trailer that follows raw deflate data.
  void check_trailer();
  // True when the next two input bytes are 0x1F 0x8B, reading more input
  // when fewer than 2 are left.
  bool next_member_follows();
  void record_checkpoint();

  file_ptr source_;
  forwarding_abort abort_;
  sonovale_File_Reader reader_;
  checkpoint_sink& sink_;
  uint64_t spacing_;

  byte_array input_;
  uint64_t input_end_ = 0;  // file offset just past the buffered input
  uint8_t last_taken_ = 0;  // the last byte of the previous buffer
  z_stream stream_{};
  bool zlib_live_ = false;
  bool raw_ = false;

  uint64_t member_ = 0;
  uint64_t member_length_ = 0;
  uint32_t raw_crc_ = 0;  // the member's CRC-32 while raw_
  uint64_t output_ = 0;
  uint64_t next_checkpoint_ = 0;
  bool ended_ = false;
};

void gzip_pass::end_zlib() {
  if (zlib_live_) {
    zlib_live_ = false;
    inflateEnd(&stream_);
  }
}

void gzip_pass::refill() {
  int32_t got = input_size;
  if (stream_.avail_in == 0 && stream_.next_in != nullptr && stream_.next_in > input_.data()) {
    last_taken_ = stream_.next_in[-1];
  }
  throw_error_text(reader_.read_avail(input_.data(), got));
  // The file ended while the member still needed input.
  if (got == 0) throw_error_text(err_corrupt_file);
  input_end_ = reader_.tell();
  stream_.next_in = input_.data();
  stream_.avail_in = static_cast<uInt>(got);
}

void gzip_pass::start_at_beginning() {
  // The content is always decoded from the first byte of the file.
  if (reader_.tell() != 0) throw_error_text(reader_.seek(0));
  try {
    input_.set_size(input_size);
  } catch (const std::bad_alloc&) {
    throw_error_text(err_out_of_memory);
  }
  int32_t got = input_size;
  throw_error_text(reader_.read_avail(input_.data(), got));
  if (got < min_gzip_size || !starts_member(input_.data())) {
    throw exception_io_data("Not GZIP data");
  }
  input_end_ = reader_.tell();
  stream_.next_in = input_.data();
  stream_.avail_in = static_cast<uInt>(got);
  int result = inflateInit2(&stream_, gzip_window_bits);
  if (result != Z_OK) throw_error_text(zlib_error_text(result));
  zlib_live_ = true;
  next_checkpoint_ = spacing_;
}

void gzip_pass::start_at(const view_checkpoint& from) {
  resume_point point = parse_state(from.state);
  throw_error_text(reader_.seek(point.input_offset));
  try {
    input_.set_size(input_size);
  } catch (const std::bad_alloc&) {
    throw_error_text(err_out_of_memory);
  }
  int result = inflateInit2(&stream_, raw_window_bits);
  if (result != Z_OK) throw_error_text(zlib_error_text(result));
  zlib_live_ = true;
  raw_ = true;
  if (point.bits != 0) {
    // Deflate packs bits from the least significant end: the unused ones
    // are the byte's top bits.
    result = inflatePrime(&stream_, point.bits, point.byte >> (8 - point.bits));
    if (result != Z_OK) throw_error_text(zlib_error_text(result));
  }
  const uint8_t* window = from.state.data() + state_header_size;
  auto window_length = static_cast<uInt>(from.state.size() - state_header_size);
  if (window_length != 0) {
    result = inflateSetDictionary(&stream_, window, window_length);
    if (result != Z_OK) throw_error_text(zlib_error_text(result));
  }
  member_ = point.member;
  member_length_ = point.member_length;
  raw_crc_ = point.member_crc;
  output_ = from.output_position;
  next_checkpoint_ = output_ + spacing_;
  input_end_ = point.input_offset;
  last_taken_ = point.byte;
}

size_t gzip_pass::decode(uint8_t* out, size_t capacity, abort_callback& abort) {
  abort_.target = &abort;
  size_t done = 0;
  while (done < capacity && !ended_) {
    check_aborted(abort);
    size_t slice = std::min(capacity - done, poll_slice);
    // Plain inflation up to the next checkpoint's distance, then block by
    // block until a boundary is met.
    int flush = Z_BLOCK;
    if (output_ < next_checkpoint_) {
      slice = static_cast<size_t>(std::min<uint64_t>(slice, next_checkpoint_ - output_));
      flush = Z_NO_FLUSH;
    }
    done += inflate_slice(out + done, slice, flush);
  }
  return done;
}

size_t gzip_pass::inflate_slice(uint8_t* out, size_t n, int flush) {
  stream_.next_out = out;
  stream_.avail_out = static_cast<uInt>(n);
  for (;;) {
    if (stream_.avail_in == 0) refill();
    uint8_t* before = stream_.next_out;
    int result = inflate(&stream_, flush);
    auto produced = static_cast<uInt>(stream_.next_out - before);
    output_ += produced;
    member_length_ += produced;
    if (raw_) raw_crc_ = crc32(raw_crc_, before, produced);

    if (result == Z_STREAM_END) {
      end_member();
      if (ended_ || stream_.avail_out == 0) break;
      continue;
    }
    if (result != Z_OK) throw_error_text(zlib_error_text(result));
    // data_type: bit 7 at a block boundary, bit 6 when the block just
    // ended was the member's last, bits 0-2 the unused bits of the last
    // byte taken.
    bool boundary = (stream_.data_type & 128) != 0;
    if (flush == Z_BLOCK && boundary && (stream_.data_type & 64) == 0 &&
        output_ >= next_checkpoint_) {
      record_checkpoint();
      break;
    }
    if (stream_.avail_out == 0) break;
    // Otherwise zlib returns early only when it has used up its input.
    if (stream_.avail_in != 0 && !boundary) throw_error_text(err_corrupt_file);
  }
  return n - stream_.avail_out;
}

void gzip_pass::end_member() {
  if (raw_) check_trailer();
  if (!next_member_follows()) {
    ended_ = true;
    end_zlib();
    input_.set_size(0);
    return;
  }
  int result = raw_ ? inflateReset2(&stream_, gzip_window_bits) : inflateReset(&stream_);
  if (result != Z_OK) throw_error_text(zlib_error_text(result));
  raw_ = false;
  ++member_;
  member_length_ = 0;
}

void gzip_pass::check_trailer() {
  uint8_t trailer[trailer_size];
  for (int i = 0; i < trailer_size; ++i) {
    if (stream_.avail_in == 0) refill();
    trailer[i] = *stream_.next_in++;
    --stream_.avail_in;
  }
  if (get_le32(trailer) != raw_crc_ ||
      get_le32(trailer + 4) != static_cast<uint32_t>(member_length_)) {
    throw_error_text(err_corrupt_file);
  }
}

bool gzip_pass::next_member_follows() {
  if (stream_.avail_in < 2) {
    uint8_t* base = input_.data();
    if (stream_.avail_in == 1) base[0] = stream_.next_in[0];
    auto got = static_cast<int32_t>(input_size - stream_.avail_in);
    throw_error_text(reader_.read_avail(base + stream_.avail_in, got));
    input_end_ = reader_.tell();
    stream_.next_in = base;
    stream_.avail_in += static_cast<uInt>(got);
  }
  return stream_.avail_in >= 2 && starts_member(stream_.next_in);
}

void gzip_pass::record_checkpoint() {
  view_checkpoint checkpoint;
  checkpoint.output_position = output_;
  std::vector<uint8_t>& state = checkpoint.state;
  try {
    state.reserve(state_header_size + window_size);
    int bits = stream_.data_type & 7;
    uint8_t byte = 0;
    if (bits != 0) byte = stream_.next_in > input_.data() ? stream_.next_in[-1] : last_taken_;
    put_le(state, input_end_ - stream_.avail_in, 8);
    put_le(state, static_cast<uint64_t>(bits), 1);
    put_le(state, byte, 1);
    put_le(state, member_, 8);
    put_le(state, member_length_, 8);
    put_le(state, raw_ ? raw_crc_ : static_cast<uint32_t>(stream_.adler), 4);
    state.resize(state_header_size + window_size);
    uInt window_length = 0;
    int result = inflateGetDictionary(&stream_, state.data() + state_header_size, &window_length);
    if (result != Z_OK) throw_error_text(zlib_error_text(result));
    state.resize(state_header_size + window_length);
  } catch (const std::bad_alloc&) {
    throw plix::bad_alloc();
  }
  sink_.add_checkpoint(std::move(checkpoint));
  next_checkpoint_ = output_ + spacing_;
}

}  // namespace

std::unique_ptr<view_pass> gzip_view_engine::start(const file_ptr& source,
                                                   const view_checkpoint* from,
                                                   checkpoint_sink& sink, abort_callback& abort) {
  auto pass = std::make_unique<gzip_pass>(source, sink, spacing_, abort);
  if (from != nullptr) {
    pass->start_at(*from);
  } else {
    pass->start_at_beginning();
  }
  return pass;
}

view_format& gzip_view_format() {
  static gzip_view_engine format;
  return format;
}
