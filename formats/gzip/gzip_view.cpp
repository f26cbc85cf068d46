#include "formats/gzip/gzip_view.h"

#include <algorithm>
#include <new>

#include "archive/data_reader.h"
#include "formats/gzip/gzip_format.h"
#include "formats/gzip/gzip_inflater.h"
#include "io/little_endian.h"

using namespace sonovale_io;

namespace {

// What a checkpoint's state holds, in this little-endian layout:
//   0  u64  input offset of the first byte not wholly taken
//   8  u8   bits of the byte before it that are still unused (0 to 7)
//   9  u8   that byte
//  10  u64  member number, from 0
//  18  u64  the member's output so far
//  26  u32  the member's CRC-32 so far
//  30       the member's last output bytes, up to 32 KiB
constexpr size_t state_header_size = 30;

// Reads a state this format wrote; anything else is a caller's mistake
// (the inflater checks the fields' agreement).
gzip_resume_point parse_state(const view_checkpoint& from) {
  const std::vector<uint8_t>& state = from.state;
  if (state.size() < state_header_size || state.size() > state_header_size + gzip_window_size) {
    throw exception_io_data(err_internal_usage_bug);
  }
  const uint8_t* p = state.data();
  gzip_resume_point point;
  point.input_offset = load_le(p, 8);
  point.bits = p[8];
  point.byte = p[9];
  point.member = load_le(p + 10, 8);
  point.member_length = load_le(p + 18, 8);
  point.member_crc = static_cast<uint32_t>(load_le(p + 26, 4));
  point.output_position = from.output_position;
  try {
    point.window.assign(state.begin() + state_header_size, state.end());
  } catch (const std::bad_alloc&) {
    throw plix::bad_alloc();
  }
  return point;
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

// Where a pass that records no checkpoints would send them. Stateless, so
// every thread may share it.
class no_checkpoints final : public checkpoint_sink {
 public:
  void add_checkpoint(view_checkpoint&&) override {}
} g_no_checkpoints;

// One pass: the gzip inflater, asked to stop at the block boundary where
// each checkpoint falls due.
class gzip_pass final : public view_pass {
 public:
  gzip_pass(const file_ptr& source, checkpoint_sink& sink, uint64_t spacing, abort_callback& abort)
      : source_(source), abort_(abort), reader_(source_, abort_), sink_(sink), spacing_(spacing) {}

  // Starts at the file's first byte. With `announced`, reads the size the
  // last trailer announces into it first, refusing 2^31 or more.
  void start_at_beginning(uint32_t* announced, bool keep_bytes_past_output);
  void start_at(const view_checkpoint& from);

  size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) override;

 private:
  void record_checkpoint();

  file_ptr source_;
  forwarding_abort abort_;
  sonovale_File_Reader reader_;
  checkpoint_sink& sink_;
  uint64_t spacing_;
  gzip_inflater inflater_;
};

void gzip_pass::start_at_beginning(uint32_t* announced, bool keep_bytes_past_output) {
  // The content is always decoded from the first byte of the file.
  gzip_start start;
  throw_error_text(gzip_read_start(reader_, start));
  if (!start.is_gzip) throw exception_io_data(gzip_not_gzip);
  if (announced != nullptr) throw_error_text(gzip_read_announced_size(reader_, *announced));
  throw_error_text(inflater_.start(reader_, start.first, start.count));
  if (keep_bytes_past_output) throw_error_text(inflater_.keep_bytes_past_output());
  inflater_.stop_at_boundary_from(spacing_);
}

void gzip_pass::start_at(const view_checkpoint& from) {
  gzip_resume_point point = parse_state(from);
  throw_error_text(inflater_.resume(reader_, point));
  // The caller's buffer may be the host's own.
  throw_error_text(inflater_.keep_bytes_past_output());
  inflater_.stop_at_boundary_from(from.output_position + spacing_);
}

size_t gzip_pass::decode(uint8_t* out, size_t capacity, abort_callback& abort) {
  abort_.target = &abort;
  size_t done = 0;
  while (done < capacity && !inflater_.ended()) {
    check_aborted(abort);
    auto slice = static_cast<uint32_t>(std::min<size_t>(capacity - done, abort_poll_bytes));
    uint32_t got = 0;
    throw_error_text(inflater_.inflate_some(out + done, slice, got));
    done += got;
    if (inflater_.at_boundary()) {
      record_checkpoint();
    } else if (got < slice) {
      break;
    }
  }
  return done;
}

void gzip_pass::record_checkpoint() {
  view_checkpoint checkpoint;
  checkpoint.output_position = inflater_.output_position();
  try {
    gzip_resume_point point;
    inflater_.describe_boundary(point);
    std::vector<uint8_t>& state = checkpoint.state;
    state.reserve(state_header_size + point.window.size());
    append_le(state, point.input_offset, 8);
    append_le(state, point.bits, 1);
    append_le(state, point.byte, 1);
    append_le(state, point.member, 8);
    append_le(state, point.member_length, 8);
    append_le(state, point.member_crc, 4);
    state.insert(state.end(), point.window.begin(), point.window.end());
  } catch (const std::bad_alloc&) {
    throw plix::bad_alloc();
  }
  sink_.add_checkpoint(std::move(checkpoint));
  inflater_.stop_at_boundary_from(checkpoint.output_position + spacing_);
}

}  // namespace

std::unique_ptr<view_pass> gzip_view_engine::start(const file_ptr& source,
                                                   const view_checkpoint* from,
                                                   checkpoint_sink& sink, abort_callback& abort) {
  auto pass = std::make_unique<gzip_pass>(source, sink, spacing_, abort);
  if (from != nullptr) {
    pass->start_at(*from);
  } else {
    // The caller's buffer may be the host's own: nothing past the count
    // returned is written.
    pass->start_at_beginning(nullptr, true);
  }
  return pass;
}

bool gzip_view_engine::decodes_whole_files_through_views(const file_ptr& source,
                                                         abort_callback& abort) {
  // The whole pass reads the header and the announced size at its start.
  uint32_t announced = 0;
  gzip_start_whole_pass(source, false, announced, abort);
  return true;
}

std::unique_ptr<view_pass> gzip_start_whole_pass(const file_ptr& source,
                                                 bool keep_bytes_past_output, uint32_t& announced,
                                                 abort_callback& abort) {
  auto pass = std::make_unique<gzip_pass>(source, g_no_checkpoints, UINT64_MAX, abort);
  pass->start_at_beginning(&announced, keep_bytes_past_output);
  return pass;
}

view_format& gzip_view_format() {
  static gzip_view_engine format;
  return format;
}
