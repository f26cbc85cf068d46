#include "formats/zst.h"

#include <algorithm>

#include "archive/member_path.h"
#include "component/host_api.h"
#include "formats/content_output.h"
#include "formats/zstd_decoder.h"
#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {

// A frame's declared size is checked only when its end is decoded, so a
// crafted header could claim gigabytes for a small file. Memory is reserved
// at once for at most this many times the file's size, as for gzip; more
// compressible content (a 128 KiB run can take 4 bytes) still decodes,
// growing the storage as it comes.
constexpr uint64_t max_believed_ratio = 1024;

// A new in-memory file holding the content of `archive`, at position 0.
file_ptr decode_to_new_file(const file_ptr& archive, uint64_t timestamp, abort_callback& abort) {
  file_ptr content = make_file_buffer(0, timestamp);
  zstd_decode_into(archive, abort, content);
  content->reopen(abort);
  return content;
}

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

void archive_zst::list_members(const char* path, file_ptr& reader, member_callback& callback,
                               bool supply_readers) {
  if (!is_our_archive_extension(path)) throw exception_io_data();
  file_ptr archive = reader;
  if (archive.is_empty()) archive = open_sized_archive(path, callback);

  plix::string8 member_path;
  make_member_path(member_path, *this, path, get_compressed_member_name(path).get_ptr());
  file_stats stats;
  stats.timestamp = archive->get_timestamp(callback);
  file_ptr content;
  if (supply_readers) {
    content = decode_to_new_file(archive, stats.timestamp, callback);
    stats.size = content->get_size(callback);
  } else {
    stats.size = zstd_declared_size(archive, callback);
  }
  callback.on_member(this, member_path.get_ptr(), stats, content);
}

file_stats archive_zst::get_member_stats(const char* archive_path, const char*,
                                         abort_callback& abort) {
  file_ptr archive = open_sized_archive(archive_path, abort);
  file_stats stats;
  stats.timestamp = archive->get_timestamp(abort);
  stats.size = zstd_declared_size(archive, abort);
  return stats;
}

void archive_zst::open_member(file_ptr& out, const char* archive_path, const char*,
                              abort_callback& abort) {
  file_ptr archive = open_sized_archive(archive_path, abort);
  out = decode_to_new_file(archive, archive->get_timestamp(abort), abort);
}

bool unpacker_zst::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<unpacker>(this, out, id);
}

void unpacker_zst::unpack_file(file_ptr& out, const file_ptr& source, abort_callback& abort) {
  if (source.is_empty()) throw exception_io_data();
  // `out` and `source` may be the same reference: it changes only at the end.
  out = decode_to_new_file(source, source->get_timestamp(abort), abort);
}
