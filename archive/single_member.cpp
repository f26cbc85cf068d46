#include "archive/single_member.h"

#include "archive/content_index.h"
#include "archive/decoded_view.h"
#include "archive/member_path.h"
#include "archive/segment_pass.h"
#include "archive/view_format.h"
#include "io/file_buffer.h"
#include "io/transfer.h"

namespace sonovale_io {

namespace {

// The host's filesystem of temporary files.
constexpr char temporary_path[] = "tempmem://";

// Smaller compressed files go straight to the whole-file road: they seldom
// hold two segments' worth of checkpoints, and looking for them reads the
// file's fingerprint and the index.
constexpr uint64_t min_size_through_view = uint64_t{1} << 20;

}  // namespace

file_ptr decode_to_new_file(decode_whole_fn decode, const file_ptr& archive, uint64_t timestamp,
                            abort_callback& abort) {
  file_ptr content = make_file_buffer(0, timestamp);
  decode(archive, abort, content);
  content->reopen(abort);
  return content;
}

file_ptr single_member_archive::open_archive_file(const char* path, abort_callback& abort) {
  return content_size_ != nullptr ? open_sized_archive(path, abort) : open_archive(path, abort);
}

uint64_t single_member_archive::size_without_decoding(const char* path, const file_ptr& archive,
                                                      abort_callback& abort) {
  if (content_size_ != nullptr) return content_size_(archive, abort);
  // A format whose data announces no size: what a pass from the start
  // found, when one has verified the whole content (in this process or,
  // through the index on disk, an earlier one), as a trailer's size is
  // told. The file is read for its fingerprint, then put back where it
  // stood for the decoding that may follow.
  view_format* format = find_view_format(get_type_name());
  if (format == nullptr || !archive->can_seek()) return unknown_size;
  uint64_t position = archive->get_position(abort);
  std::shared_ptr<content_entry> entry = find_content_entry(path, *archive, *format, abort);
  archive->seek(position, abort);
  return entry != nullptr && entry->verified() ? entry->content_size_hint() : unknown_size;
}

file_ptr single_member_archive::decode_content(const char* path, const file_ptr& archive,
                                               uint64_t timestamp, abort_callback& abort) {
  view_format* format = find_view_format(get_type_name());
  if (format != nullptr && segment_workers() > 1 && archive->can_seek()) {
    uint64_t size = archive->get_size(abort);
    if (size != unknown_size && size >= min_size_through_view) {
      uint64_t position = archive->get_position(abort);
      if (format->decodes_whole_files_through_views(archive, abort)) {
        std::shared_ptr<content_entry> entry = find_content_entry(path, *archive, *format, abort);
        // Checkpoints for two segments at least; with fewer a view would
        // decode on one core, as the whole-file road does.
        if (entry != nullptr && entry->checkpoint_count() >= 2) {
          service_ptr_t<decoded_view> view =
              new service_impl_t<decoded_view>(*format, archive, std::move(entry), timestamp);
          view->read_to_the_end();
          return read_to_memory(*view, abort);
        }
      }
      archive->seek(position, abort);
    }
  }
  return decode_to_new_file(decode_, archive, timestamp, abort);
}

void single_member_archive::list_members(const char* path, file_ptr& reader,
                                         member_callback& callback, bool supply_readers) {
  if (!is_our_archive_extension(path)) throw exception_io_data();
  file_ptr archive = reader;
  if (archive.is_empty()) archive = open_archive_file(path, callback);

  plix::string8 member_path;
  make_member_path(member_path, *this, path, get_compressed_member_name(path).get_ptr());
  file_stats stats;
  stats.timestamp = archive->get_timestamp(callback);
  file_ptr content;
  stats.size = supply_readers ? unknown_size : size_without_decoding(path, archive, callback);
  if (supply_readers || (content_size_ == nullptr && stats.size == unknown_size)) {
    content = decode_content(path, archive, stats.timestamp, callback);
    stats.size = content->get_size(callback);
  }
  callback.on_member(this, member_path.get_ptr(), stats, content);
}

file_stats single_member_archive::get_member_stats(const char* archive_path, const char*,
                                                   abort_callback& abort) {
  file_ptr archive = open_archive_file(archive_path, abort);
  file_stats stats;
  stats.timestamp = archive->get_timestamp(abort);
  stats.size = size_without_decoding(archive_path, archive, abort);
  if (stats.size == unknown_size && content_size_ == nullptr) {
    file_ptr temporary;
    g_open(temporary, temporary_path, open_mode_write_new, abort);
    decode_(archive, abort, temporary);
    stats.size = temporary->get_size(abort);
    if (stats.size == unknown_size) throw exception_io_no_length();
  }
  return stats;
}

void single_member_archive::open_member(file_ptr& out, const char* archive_path, const char*,
                                        abort_callback& abort) {
  file_ptr archive = open_archive_file(archive_path, abort);
  out = decode_content(archive_path, archive, archive->get_timestamp(abort), abort);
}

bool single_member_unpacker::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<unpacker>(this, out, id);
}

void single_member_unpacker::unpack_file(file_ptr& out, const file_ptr& source,
                                         abort_callback& abort) {
  if (source.is_empty()) throw exception_io_data();
  // `out` and `source` may be the same reference: it changes only at the end.
  out = decode_to_new_file(decode_, source, source->get_timestamp(abort), abort);
}

}  // namespace sonovale_io
