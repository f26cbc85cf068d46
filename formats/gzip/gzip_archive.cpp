#include "formats/gzip/gzip_archive.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "archive/data_reader.h"
#include "formats/gzip/gzip_format.h"
#include "formats/gzip/gzip_reader.h"
#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {

// The first reservation for the content is the trailer's announcement, but
// no more than this many times the file: a crafted trailer announces up to
// 2 GiB for any file, so beyond it the storage grows as data is produced.
constexpr uint64_t reservation_ratio = 4;
// The largest write made to a file that is not in memory.
constexpr uint32_t write_chunk = 1024;

// Makes the reader and opens the decoder on it, turning its failures into
// exceptions. Both must live on the caller's stack for the decoding.
void open_decoder(Gzip_Reader& decoder, File_Reader& reader) {
  throw_error_text(decoder.open(reader));
  if (!decoder.active()) throw exception_io_data(gzip_not_gzip);
}

// Inflates everything into `out`'s storage at its position, growing it as
// data comes and releasing the unused reservation at the end.
void inflate_in_place(Gzip_Reader& decoder, uint64_t compressed_size, file_buffer& out,
                      abort_callback& abort) {
  uint64_t position = out.get_position(abort);
  uint64_t announced = decoder.remain();
  uint64_t guess = compressed_size < announced / reservation_ratio
                       ? compressed_size * reservation_ratio
                       : announced;
  out.reserve(std::min(position + guess, file_buffer::max_size));

  for (;;) {
    check_aborted(abort);
    uint64_t room = out.capacity() - position;
    uint32_t got = 0;
    if (room != 0) {
      uint32_t slice = static_cast<uint32_t>(std::min<uint64_t>(room, abort_poll_bytes));
      // The decoder may change bytes past those it gives, within the slice;
      // the file's own bytes there keep their values.
      uint64_t size = out.get_size(abort);
      uint32_t own =
          position < size ? static_cast<uint32_t>(std::min<uint64_t>(slice, size - position)) : 0;
      std::string kept(reinterpret_cast<const char*>(out.content() + position), own);
      uint8_t* target = out.prepare(slice);
      throw_error_text(decoder.inflate_some(target, slice, got));
      if (got < own) std::memcpy(target + got, kept.data() + got, own - got);
      out.commit(got);
      position += got;
    } else {
      // The storage is full. Learn whether more content follows before
      // growing, so that a correct announcement costs one allocation.
      uint8_t probe[4096];
      throw_error_text(decoder.inflate_some(probe, sizeof probe, got));
      if (got != 0) {
        out.write(probe, got, abort);
        position += got;
      }
    }
    if (decoder.ended()) break;
  }
  out.shrink_to_fit();
}

// Inflates everything into any writable file, in writes of at most 1024
// bytes.
void inflate_by_writes(Gzip_Reader& decoder, file& out, abort_callback& abort) {
  uint8_t chunk[write_chunk];
  do {
    check_aborted(abort);
    uint32_t got = 0;
    throw_error_text(decoder.inflate_some(chunk, sizeof chunk, got));
    if (got != 0) out.write(chunk, got, abort);
  } while (!decoder.ended());
}

}  // namespace

uint64_t gzip_announced_size(const file_ptr& archive, abort_callback& abort) {
  sonovale_File_Reader reader(archive, abort);
  Gzip_Reader decoder;
  open_decoder(decoder, reader);
  return decoder.remain();
}

void gzip_inflate_into(const file_ptr& archive, abort_callback& abort, file_ptr& out) {
  sonovale_File_Reader reader(archive, abort);
  Gzip_Reader decoder;
  open_decoder(decoder, reader);
  if (auto* memory = dynamic_cast<file_buffer*>(out.get_ptr())) {
    inflate_in_place(decoder, reader.size(), *memory, abort);
  } else {
    inflate_by_writes(decoder, *out, abort);
  }
}

archive_gz::archive_gz() : single_member_archive(gzip_inflate_into, gzip_announced_size) {}

unpacker_gz::unpacker_gz() : single_member_unpacker(gzip_inflate_into) {}
