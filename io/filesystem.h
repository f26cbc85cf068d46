// The filesystem interface and the dispatch functions that route a path to
// the filesystem service that owns it.
#pragma once

#include <cstdint>

#include "io/file.h"
#include "io/string.h"

namespace sonovale_io {

enum open_mode : uint32_t {
  open_mode_read = 0,            // an existing file, for reading
  open_mode_write_existing = 1,  // the host's; never passed by the module
  open_mode_write_new = 2,       // a new, empty file, for writing
};

// Statistics of a file or member. `size` is all ones when unknown.
struct file_stats {
  uint64_t size;
  uint64_t timestamp;
};

// One kind of location of the host's virtual filesystem. The slot order is
// the binary contract with the host: do not reorder.
class BRENMOOR_SHARED filesystem : public service_base {
 public:
  static constexpr GUID class_guid = {
      0x2FBCE1E5, 0x902E, 0x49E0, {0xB9, 0xCF, 0xCE, 0x0F, 0xBA, 0x76, 0x53, 0x48}};

  // slot 4: true when this filesystem wrote the canonical form of `path`.
  virtual bool get_canonical_path(const char* path, plix::string_base& out) = 0;
  // slot 5: true when this filesystem handles `path`.
  virtual bool is_our_path(const char* path) = 0;
  // slot 6: true when this filesystem wrote a form of `path` for showing.
  virtual bool get_display_path(const char* path, plix::string_base& out) = 0;
  // slot 7: opens `path` and stores the new file in `out`.
  virtual void open(service_ptr_t<file>& out, const char* path, open_mode mode,
                    abort_callback& abort) = 0;
  // slot 8: a modifying operation.
  virtual void remove_object(const char* path, abort_callback& abort) = 0;
  // slot 9: a modifying operation.
  virtual void move_object(const char* from, const char* to, abort_callback& abort) = 0;
  // slot 10: true when `path` lies on a remote filesystem.
  virtual bool is_remote(const char* path) = 0;
  // slot 11: fills the statistics of `path` and whether it can be written.
  virtual void get_stats(const char* path, file_stats& stats, bool& is_writable,
                         abort_callback& abort) = 0;
  // slot 12: true when this filesystem wrote a form of `path` tied to
  // `reference` into `out`.
  virtual bool make_reference_path(const char* path, const char* reference,
                                   plix::string_base& out) = 0;
  // slot 13: true when this filesystem turned such a form, with
  // `reference`, back into a full path in `out`.
  virtual bool resolve_reference_path(const char* path, const char* reference,
                                      plix::string_base& out) = 0;
  // slot 14: a modifying operation.
  virtual void create_directory(const char* path, abort_callback& abort) = 0;
  // slot 15: lists a folder through a host callback.
  virtual void list_directory(const char* path, void* callback, abort_callback& abort) = 0;
  // slot 16: a host query.
  virtual bool supports_folders() = 0;

  // Dispatch. Each walks the host's filesystems in enumeration order,
  // holding one reference at a time and releasing it on every way out.

  // The first filesystem whose get_canonical_path answers true writes
  // `out`; when none does, `out` is `path` itself.
  static void g_get_canonical_path(const char* path, plix::string_base& out);
  // The owner's display form, or `path` itself. Never throws for an
  // unowned path.
  static void g_get_display_path(const char* path, plix::string_base& out);
  // Opens `path` through its owner. Throws exception_io_no_handler_for_path
  // ("Invalid path") when no filesystem claims it; `out` is then unchanged.
  static void g_open(service_ptr_t<file>& out, const char* path, open_mode mode,
                     abort_callback& abort);
  // Stores the first filesystem that claims `path` in `out` and returns
  // true; returns false and leaves `out` alone when none does.
  static bool g_find_filesystem(service_ptr_t<filesystem>& out, const char* path);
  // As g_find_filesystem, but throws exception_io_no_handler_for_path.
  static void g_require_filesystem(service_ptr_t<filesystem>& out, const char* path);
  // The owner's is_remote; throws exception_io_no_handler_for_path.
  static bool g_is_remote(const char* path);
  // True when some filesystem resolved the reference path into `out`.
  static bool g_resolve_reference_path(const char* path, const char* reference,
                                       plix::string_base& out);

 protected:
  ~filesystem() = default;
};

}  // namespace sonovale_io
