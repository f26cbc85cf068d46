#include "io/filesystem.h"

#include "abi/host_api.h"

namespace sonovale_io {

void filesystem::g_get_canonical_path(const char* path, plix::string_base& out) {
  uCallStackTracker marker("filesystem::g_get_canonical_path");
  service_enum_t<filesystem> walk;
  service_ptr_t<filesystem> fs;
  while (walk.next(fs)) {
    if (fs->get_canonical_path(path, out)) return;
  }
  out.set_string(path);
}

void filesystem::g_get_display_path(const char* path, plix::string_base& out) {
  uCallStackTracker marker("filesystem::g_get_display_path");
  service_ptr_t<filesystem> fs;
  if (g_find_filesystem(fs, path) && fs->get_display_path(path, out)) return;
  out.set_string(path);
}

void filesystem::g_open(service_ptr_t<file>& out, const char* path, open_mode mode,
                        abort_callback& abort) {
  uCallStackTracker marker("filesystem::g_open");
  service_ptr_t<filesystem> fs;
  g_require_filesystem(fs, path);
  fs->open(out, path, mode, abort);
}

bool filesystem::g_find_filesystem(service_ptr_t<filesystem>& out, const char* path) {
  service_enum_t<filesystem> walk;
  service_ptr_t<filesystem> fs;
  while (walk.next(fs)) {
    if (fs->is_our_path(path)) {
      out = fs;
      return true;
    }
  }
  return false;
}

void filesystem::g_require_filesystem(service_ptr_t<filesystem>& out, const char* path) {
  if (!g_find_filesystem(out, path)) throw exception_io_no_handler_for_path();
}

bool filesystem::g_is_remote(const char* path) {
  service_ptr_t<filesystem> fs;
  g_require_filesystem(fs, path);
  return fs->is_remote(path);
}

bool filesystem::g_resolve_reference_path(const char* path, const char* reference,
                                          plix::string_base& out) {
  service_enum_t<filesystem> walk;
  service_ptr_t<filesystem> fs;
  while (walk.next(fs)) {
    if (fs->resolve_reference_path(path, reference, out)) return true;
  }
  return false;
}

}  // namespace sonovale_io
