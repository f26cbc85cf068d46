#include <cstring>
#include <string>
#include <string_view>

#include "archive/archive.h"
#include "archive/content_fingerprint.h"
#include "archive/decoded_view.h"
#include "archive/member_path.h"
#include "io/transfer.h"

namespace sonovale_io {

bool archive_impl::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  if (!(id == archive::class_guid) && !(id == filesystem::class_guid)) return false;
  out = static_cast<filesystem*>(this);
  return true;
}

bool archive_impl::is_our_path(const char* path) {
  if (std::strncmp(path, member_path_prefix, member_path_prefix_length) != 0) return false;
  const char* type = get_type_name();
  size_t type_length = std::strlen(type);
  return std::strncmp(path + member_path_prefix_length, type, type_length) == 0 &&
         path[member_path_prefix_length + type_length] == '|';
}

namespace {

// Refuses, before anything recurses through the dispatch, a path nested
// deeper than the limit: each level costs a stack frame chain and a copy of
// the rest of the path.
bool too_deep(const char* path) {
  return member_path_depth(path) > max_member_path_depth;
}

void require_depth(const char* path) {
  if (too_deep(path)) throw exception_io_not_found();
}

}  // namespace

file_ptr archive_impl::open_archive(const char* path, abort_callback& abort) {
  std::string_view text = path;
  std::string_view archive_path, member;
  view_format* format = nullptr;
  if (text.substr(0, member_path_prefix_length) == member_path_prefix &&
      split_member_path(text, archive_path, member)) {
    std::string type(
        text.substr(member_path_prefix_length, text.find('|') - member_path_prefix_length));
    format = find_view_format(type.c_str());
  }
  file_ptr out;
  if (format == nullptr || too_deep(path)) {
    g_open(out, path, open_mode_read, abort);
    return out;
  }

  std::string compressed_path(archive_path);
  file_ptr source;
  g_open(source, compressed_path.c_str(), open_mode_read, abort);
  uint64_t size = source->get_size(abort);
  if (size == unknown_size || !source->can_seek()) {
    // A view starts passes again from checkpoints; a stream cannot go back.
    g_open(out, path, open_mode_read, abort);
    return out;
  }
  uint64_t timestamp = source->get_timestamp(abort);
  std::shared_ptr<content_entry> entry =
      find_content_entry(compressed_path.c_str(), *source, *format, abort);
  out = new service_impl_t<decoded_view>(*format, std::move(source), std::move(entry), timestamp);
  return out;
}

std::shared_ptr<content_entry> archive_impl::find_content_entry(const char* path, file& source,
                                                                view_format& format,
                                                                abort_callback& abort) {
  uint64_t size = source.get_size(abort);
  if (size == unknown_size || !source.can_seek()) return nullptr;
  uint64_t timestamp = source.get_timestamp(abort);
  uint64_t fingerprint = content_fingerprint(source, size, abort);
  plix::string8 canonical;
  g_get_canonical_path(path, canonical);
  return content_index_find(std::string(canonical.get_ptr(), canonical.get_length()), size,
                            timestamp, fingerprint, format.type_name());
}

file_ptr archive_impl::open_sized_archive(const char* path, abort_callback& abort) {
  file_ptr archive = open_archive(path, abort);
  if (dynamic_cast<decoded_view*>(archive.get_ptr()) != nullptr &&
      archive->get_size(abort) == unknown_size) {
    archive = read_to_memory(*archive, abort);
  }
  return archive;
}

bool archive_impl::is_our_archive_extension(const char* path) {
  return is_archive_extension(path, get_type_name());
}

bool archive_impl::get_canonical_path(const char* path, plix::string_base& out) {
  if (!is_our_path(path) || too_deep(path)) return false;
  plix::string8 archive_path, member;
  if (!parse_member_path(path, archive_path, member)) return false;
  plix::string8 canonical;
  g_get_canonical_path(archive_path.get_ptr(), canonical);
  make_member_path(out, *this, canonical.get_ptr(), member.get_ptr());
  return true;
}

bool archive_impl::get_display_path(const char* path, plix::string_base& out) {
  if (too_deep(path)) return false;
  plix::string8 archive_path, member;
  if (!parse_member_path(path, archive_path, member)) return false;
  plix::string8 display;
  g_get_display_path(archive_path.get_ptr(), display);
  display.add_string("|");
  display.add_string(member.get_ptr());
  out.set_string(display.get_ptr());
  return true;
}

void archive_impl::open(service_ptr_t<file>& out, const char* path, open_mode mode,
                        abort_callback& abort) {
  if (mode != open_mode_read) throw exception_io_denied();
  require_depth(path);
  plix::string8 archive_path, member;
  if (!parse_member_path(path, archive_path, member)) throw exception_io_not_found();
  open_member(out, archive_path.get_ptr(), member.get_ptr(), abort);
}

void archive_impl::remove_object(const char*, abort_callback&) {
  throw exception_io_denied();
}

void archive_impl::move_object(const char*, const char*, abort_callback&) {
  throw exception_io_denied();
}

void archive_impl::create_directory(const char*, abort_callback&) {
  throw exception_io_denied();
}

void archive_impl::list_directory(const char*, void*, abort_callback&) {
  throw exception_io_not_found();
}

bool archive_impl::is_remote(const char* path) {
  require_depth(path);
  plix::string8 archive_path, member;
  if (!parse_member_path(path, archive_path, member)) throw exception_io_not_found();
  return g_is_remote(archive_path.get_ptr());
}

void archive_impl::get_stats(const char* path, file_stats& stats, bool& is_writable,
                             abort_callback& abort) {
  require_depth(path);
  plix::string8 archive_path, member;
  if (!parse_member_path(path, archive_path, member)) throw exception_io_not_found();
  if (g_is_remote(archive_path.get_ptr())) throw exception_io_object_is_remote();
  is_writable = false;
  stats = get_member_stats(archive_path.get_ptr(), member.get_ptr(), abort);
}

bool archive_impl::make_reference_path(const char* path, const char* reference,
                                       plix::string_base& out) {
  if (too_deep(path)) return false;
  plix::string8 archive_path, member;
  if (!parse_member_path(path, archive_path, member)) return false;
  service_ptr_t<filesystem> owner;
  if (!g_find_filesystem(owner, archive_path.get_ptr())) return false;
  plix::string8 temporary;
  if (!owner->make_reference_path(archive_path.get_ptr(), reference, temporary)) return false;
  make_member_path(out, *this, temporary.get_ptr(), member.get_ptr());
  return true;
}

bool archive_impl::resolve_reference_path(const char* path, const char* reference,
                                          plix::string_base& out) {
  if (!is_our_path(path) || too_deep(path)) return false;
  plix::string8 archive_path, member;
  if (!parse_member_path(path, archive_path, member)) return false;
  plix::string8 temporary;
  if (!g_resolve_reference_path(archive_path.get_ptr(), reference, temporary)) return false;
  make_member_path(out, *this, temporary.get_ptr(), member.get_ptr());
  return true;
}

}  // namespace sonovale_io
