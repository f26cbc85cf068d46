// The configuration stream reader on arbitrary bytes. A loader registered
// here for the all-zero identifier reads its payload in pieces and refuses
// some, so records reach a loader as well as being skipped. Every input must
// end normally or with exception_io_data_truncation from a cut-off record.
#include <cstdlib>

#include "component/config.h"
#include "io/file_buffer.h"

namespace {

class picky_loader : public config_loader {
 public:
  picky_loader() : config_loader(GUID{}) {}
  void load_config_data(sonovale_io::stream_reader* source, uint32_t size,
                        abort_callback& abort) override {
    uint8_t piece[7];
    uint32_t got = source->read(piece, sizeof piece, abort);
    if (got > sizeof piece || got > size) std::abort();  // the budget must hold
    if (got != 0 && piece[0] == 0xEE) throw sonovale_io::exception_io_data();
  }
} g_loader;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  abort_callback_dummy abort;
  sonovale_io::file_ptr source = make_file_buffer(0, 0);
  source->write(data, static_cast<uint32_t>(size), abort);
  source->reopen(abort);
  try {
    read_config(*source, abort);
  } catch (const sonovale_io::exception_io_data_truncation&) {
  }
  return 0;
}
