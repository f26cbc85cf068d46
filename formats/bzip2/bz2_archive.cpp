#include "formats/bzip2/bz2_archive.h"

#include "archive/member_path.h"
#include "formats/bzip2/bz2_decoder.h"
#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {

constexpr char type_name[] = "bz2";
constexpr char temporary_path[] = "tempmem://";

// Decodes `source` into a new in-memory file stamped `timestamp` and
// returns it at position 0. Nothing reaches the caller on failure.
file_ptr decode_to_memory(const file_ptr& source, uint64_t timestamp, abort_callback& abort) {
  file_ptr content = make_file_buffer(0, timestamp);
  bz2_decompress(source, content, abort);
  content->reopen(abort);
  return content;
}

uint64_t known_size(file& f, abort_callback& abort) {
  uint64_t size = f.get_size(abort);
  if (size == unknown_size) throw exception_io_no_length();
  return size;
}

}  // namespace

const char* archive_bz2::get_type_name() {
  return type_name;
}

void archive_bz2::list_members(const char* path, service_ptr_t<file>& reader,
                               member_callback& callback, bool /*supply_readers*/) {
  if (!is_our_archive_extension(path)) throw exception_io_data();
  file_ptr archive_file = reader;
  if (archive_file.is_empty()) archive_file = open_archive(path, callback);

  plix::string8 member_path;
  make_member_path(member_path, *this, path, get_compressed_member_name(path).get_ptr());
  uint64_t timestamp = archive_file->get_timestamp(callback);
  // bzip2 data announces no size, so the content is always decoded and
  // always handed over.
  file_ptr content = decode_to_memory(archive_file, timestamp, callback);
  file_stats stats = {known_size(*content, callback), timestamp};
  callback.on_member(this, member_path.get_ptr(), stats, content);
}

file_stats archive_bz2::get_member_stats(const char* archive_path, const char* /*member*/,
                                         abort_callback& abort) {
  file_ptr archive_file = open_archive(archive_path, abort);
  file_ptr temporary;
  filesystem::g_open(temporary, temporary_path, open_mode_write_new, abort);
  bz2_decompress(archive_file, temporary, abort);
  uint64_t timestamp = archive_file->get_timestamp(abort);
  return {known_size(*temporary, abort), timestamp};
}

void archive_bz2::open_member(service_ptr_t<file>& out, const char* archive_path,
                              const char* /*member*/, abort_callback& abort) {
  file_ptr archive_file = open_archive(archive_path, abort);
  out = decode_to_memory(archive_file, archive_file->get_timestamp(abort), abort);
}

bool unpacker_bz2::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<unpacker>(this, out, id);
}

void unpacker_bz2::unpack_file(service_ptr_t<file>& out, const service_ptr_t<file>& source,
                               abort_callback& abort) {
  if (source.is_empty()) throw exception_io_data();
  out = decode_to_memory(source, source->get_timestamp(abort), abort);
}
