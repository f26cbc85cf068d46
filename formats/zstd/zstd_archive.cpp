#include "formats/zstd/zstd_archive.h"

#include <algorithm>

#include "archive/content_output.h"
#include "formats/zstd/zstd_decoder.h"

using namespace sonovale_io;

namespace {

// A frame's declared size is checked only when its end is decoded, so a
// crafted header could claim gigabytes for a small file. Memory is reserved
// at once for at most this many times the file's size, as for gzip; more
// compressible content (a 128 KiB run can take 4 bytes) still decodes,
// growing the storage as it comes.
constexpr uint64_t max_believed_ratio = 1024;

}  // namespace

void zstd_decode_into(const file_ptr& archive, abort_callback& abort, file_ptr& out) {
  uint64_t expected = zstd_declared_size(archive, abort);
  uint64_t compressed = archive->get_size(abort);
  if (expected != unknown_size && compressed != unknown_size) {
    expected = std::min(expected, compressed * max_believed_ratio);
  }
  zstd_decoder decoder(archive, nullptr);
  decoder.start(abort);
  decode_content_into(decoder, expected, *out, abort);
}
