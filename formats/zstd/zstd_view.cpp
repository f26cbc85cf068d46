#include "formats/zstd/zstd_view.h"

#include "formats/zstd/zstd_decoder.h"
#include "io/error_text.h"
#include "io/little_endian.h"

using namespace sonovale_io;

namespace {

class zstd_view_engine final : public view_format {
 public:
  const char* type_name() const override { return "zst"; }

  std::unique_ptr<view_pass> start(const file_ptr& source, const view_checkpoint* from,
                                   checkpoint_sink& sink, abort_callback& abort) override {
    auto pass = std::make_unique<zstd_decoder>(source, &sink);
    if (from == nullptr) {
      pass->start(abort);
      return pass;
    }
    // The state is the frame's file offset, little-endian.
    if (from->state.size() != 8) throw exception_io_data(err_internal_usage_bug);
    pass->start_at_frame(load_le(from->state.data(), 8), from->output_position, abort);
    return pass;
  }
};

}  // namespace

view_format& zstd_view_format() {
  static zstd_view_engine format;
  return format;
}
