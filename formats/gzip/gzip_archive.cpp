#include "formats/gzip/gzip_archive.h"

#include <memory>

#include "archive/content_output.h"
#include "archive/data_reader.h"
#include "formats/gzip/gzip_format.h"
#include "formats/gzip/gzip_view.h"
#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {

// The first reservation for the content is the trailer's announcement, but
// no more than this many times the file: a crafted trailer announces up to
// 2 GiB for any file, so beyond it the storage grows as data is produced.
constexpr uint64_t reservation_ratio = 4;
// The largest write made to a file that is not in memory.
constexpr uint32_t write_chunk = 1024;

}  // namespace

uint64_t gzip_announced_size(const file_ptr& archive, abort_callback& abort) {
  sonovale_File_Reader reader(archive, abort);
  gzip_start start;
  throw_error_text(gzip_read_start(reader, start));
  if (!start.is_gzip) throw exception_io_data(gzip_not_gzip);
  uint32_t announced = 0;
  throw_error_text(gzip_read_announced_size(reader, announced));
  return announced;
}

void gzip_inflate_into(const file_ptr& archive, abort_callback& abort, file_ptr& out) {
  // ISA-L writes a few bytes past its output; an in-memory file's content
  // beyond its position must keep its values there.
  auto* memory = dynamic_cast<file_buffer*>(out.get_ptr());
  bool keep_bytes = memory != nullptr && memory->get_position(abort) < memory->get_size(abort);
  uint32_t announced = 0;
  std::unique_ptr<view_pass> pass = gzip_start_whole_pass(archive, keep_bytes, announced, abort);
  uint64_t compressed = archive->get_size(abort);
  uint64_t expected = compressed < announced / reservation_ratio ? compressed * reservation_ratio
                                                                 : uint64_t{announced};
  decode_content_into(*pass, expected, *out, abort, write_chunk);
}
