#include "formats/xz/xz_view.h"

#include "formats/xz/xz_decoder.h"

using namespace sonovale_io;

namespace {

class xz_view_engine final : public view_format {
 public:
  const char* type_name() const override { return "xz"; }

  std::unique_ptr<view_pass> start(const file_ptr& source, const view_checkpoint* from,
                                   checkpoint_sink& sink, abort_callback& abort) override {
    auto pass = std::make_unique<xz_decoder>(source, sink);
    if (from != nullptr) {
      pass->start_at(*from, abort);
    } else {
      pass->start(abort);
    }
    return pass;
  }
};

}  // namespace

view_format& xz_view_format() {
  static xz_view_engine format;
  return format;
}
