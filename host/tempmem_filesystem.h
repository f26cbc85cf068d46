// The host's "tempmem://" filesystem: temporary files held in memory.
#pragma once

#include "io/filesystem.h"

// Owns the path "tempmem://" and everything below it. Opened with
// open_mode_write_new it gives a new, empty, writable in-memory file whose
// size is what was written; other modes are refused with
// exception_io_denied, since temporary files have no name to reopen.
class tempmem_filesystem : public sonovale_io::filesystem {
 public:
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  bool get_canonical_path(const char*, plix::string_base&) override { return false; }
  bool is_our_path(const char* path) override;
  bool get_display_path(const char*, plix::string_base&) override { return false; }
  void open(service_ptr_t<sonovale_io::file>& out, const char* path, sonovale_io::open_mode mode,
            abort_callback& abort) override;
  void remove_object(const char* path, abort_callback& abort) override;
  void move_object(const char* from, const char* to, abort_callback& abort) override;
  bool is_remote(const char*) override { return false; }
  void get_stats(const char* path, sonovale_io::file_stats& stats, bool& is_writable,
                 abort_callback& abort) override;
  bool make_reference_path(const char*, const char*, plix::string_base&) override { return false; }
  bool resolve_reference_path(const char*, const char*, plix::string_base&) override {
    return false;
  }
  void create_directory(const char* path, abort_callback& abort) override;
  void list_directory(const char* path, void* callback, abort_callback& abort) override;
  bool supports_folders() override { return false; }
};
