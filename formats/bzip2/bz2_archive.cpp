#include "formats/bzip2/bz2_archive.h"

#include <memory>

#include "archive/content_output.h"
#include "formats/bzip2/bz2_bit_input.h"
#include "formats/bzip2/bz2_parallel.h"
#include "formats/bzip2/bz2_view.h"

using namespace sonovale_io;

void bz2_decode_into(const file_ptr& archive, abort_callback& abort, file_ptr& out) {
  std::unique_ptr<view_pass> pass = bz2_start_whole_pass(archive, bz2_decoder_threads(), abort);
  decode_content_into(*pass, unknown_size, *out, abort, bz2_chunk_size);
}
