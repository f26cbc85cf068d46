#include "formats/xz/xz_view.h"

#include "formats/xz/xz_decoder.h"
#include "io/error_text.h"
#include "io/little_endian.h"

using namespace sonovale_io;

namespace {

// What a checkpoint's state holds, in this little-endian layout:
//   0  u64  file offset of the block header
//   8  u64  the block's unpadded size, from the index
//  16  u64  the block's uncompressed size, from the index
//  24  u64  the block's number in its stream, from 1
//  32  u8   the stream's check type
constexpr size_t state_size = 33;

view_checkpoint checkpoint_of(const xz_block_place& place) {
  view_checkpoint checkpoint;
  checkpoint.output_position = place.uncompressed_offset;
  try {
    checkpoint.state.reserve(state_size);
    append_le(checkpoint.state, place.compressed_offset, 8);
    append_le(checkpoint.state, place.unpadded_size, 8);
    append_le(checkpoint.state, place.uncompressed_size, 8);
    append_le(checkpoint.state, place.number_in_stream, 8);
    append_le(checkpoint.state, place.check, 1);
  } catch (const std::bad_alloc&) {
    throw plix::bad_alloc();
  }
  return checkpoint;
}

// Reads a state this format wrote; anything else is a caller's mistake.
xz_block_place place_of(const view_checkpoint& checkpoint) {
  const std::vector<uint8_t>& state = checkpoint.state;
  if (state.size() != state_size) throw exception_io_data(err_internal_usage_bug);
  xz_block_place place;
  place.compressed_offset = load_le(state.data(), 8);
  place.unpadded_size = load_le(state.data() + 8, 8);
  place.uncompressed_size = load_le(state.data() + 16, 8);
  place.number_in_stream = load_le(state.data() + 24, 8);
  place.check = static_cast<uint32_t>(state[32]);
  place.uncompressed_offset = checkpoint.output_position;
  if (place.number_in_stream == 0) throw exception_io_data(err_internal_usage_bug);
  return place;
}

class xz_view_engine final : public view_format {
 public:
  const char* type_name() const override { return "xz"; }

  std::unique_ptr<view_pass> start(const file_ptr& source, const view_checkpoint* from,
                                   checkpoint_sink& sink, abort_callback& abort) override {
    auto pass = std::make_unique<xz_decoder>(source, 1);
    if (from != nullptr) {
      pass->start_at_block(place_of(*from), abort);
      return pass;
    }
    // The index is read before decoding starts: both move the file.
    if (xz_index_ptr index = xz_read_index(source, abort)) {
      xz_for_each_block(index.get(), [&](const xz_block_place& place) {
        if (place.uncompressed_offset != 0) sink.add_checkpoint(checkpoint_of(place));
      });
    }
    pass->start(abort);
    return pass;
  }
};

}  // namespace

view_format& xz_view_format() {
  static xz_view_engine format;
  return format;
}
