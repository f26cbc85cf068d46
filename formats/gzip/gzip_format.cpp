#include "formats/gzip/gzip_format.h"

#include "io/little_endian.h"

error_text gzip_read_start(File_Reader& source, gzip_start& out) {
  out.count = 0;
  out.is_gzip = false;
  if (source.tell() != 0) {
    if (error_text error = source.seek(0)) return error;
  }
  int32_t got = gzip_first_read_size;
  if (error_text error = source.read_avail(out.first, got)) return error;
  out.count = static_cast<uint32_t>(got);
  out.is_gzip = out.count >= gzip_min_file_size && gzip_starts_member(out.first);
  return nullptr;
}

error_text gzip_read_announced_size(File_Reader& source, uint32_t& announced) {
  uint64_t resume = source.tell();
  uint8_t trailer[gzip_trailer_size];
  if (error_text error = source.seek(source.size() - gzip_trailer_size)) return error;
  if (error_text error = source.read(trailer, gzip_trailer_size)) return error;
  if (error_text error = source.seek(resume)) return error;
  // ISIZE: the trailer's last four bytes.
  announced = load_le32(trailer + 4);
  return announced > gzip_max_announced_size ? err_gzip_too_large : nullptr;
}
