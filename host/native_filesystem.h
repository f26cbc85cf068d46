// The host's filesystem for local paths, and its files over file descriptors.
//
// Claims every path without a "scheme://" prefix (absolute or relative local
// paths) and paths that begin with "file://". Its files check the abort
// callbacks in every read and seek, so an operation that never polls abort
// itself still stops within one buffer, and they count the bytes read so the
// command-line host can show progress without help from the module.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "host/host_time.h"
#include "io/filesystem.h"

// A failure reported by the operating system, carrying its text
// (strerror). Thrown for errors that have no class of their own in the
// exception family: missing files are exception_io_not_found, refused
// access exception_io_denied.
class BRENMOOR_SHARED exception_io_os : public sonovale_io::exception_io {
 public:
  explicit exception_io_os(int error);
};

// Throws the exception that stands for `error` (an errno value).
[[noreturn]] void throw_os_error(int error);

// True when `path` starts with a URI-like scheme ("letters://").
bool has_scheme(const char* path);

class native_filesystem : public sonovale_io::filesystem {
 public:
  // `host_abort`, when set, is checked by every file opened afterwards as
  // well as the abort callback that each call passes in; it must outlive
  // those files. `wake_fd`, when not -1, becomes readable once `host_abort`
  // is set: reads of streams (pipes, terminals) wait on it alongside their
  // own descriptor, so an abort is never missed by a read about to block.
  void set_host_abort(const abort_callback* host_abort, int wake_fd = -1) {
    host_abort_ = host_abort;
    wake_fd_ = wake_fd;
  }

  // Bytes read through all of this filesystem's files so far.
  uint64_t bytes_read() const { return counter_->load(std::memory_order_relaxed); }

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  // realpath of the file; false when it cannot be resolved.
  bool get_canonical_path(const char* path, plix::string_base& out) override;
  bool is_our_path(const char* path) override;
  // The path as given.
  bool get_display_path(const char* path, plix::string_base& out) override;
  // Modes: open_mode_read (existing file), open_mode_write_existing (read
  // and write, kept), open_mode_write_new (created or truncated, read and
  // write). Folders cannot be opened. Throws exception_io_not_found,
  // exception_io_denied or exception_io_os.
  void open(service_ptr_t<sonovale_io::file>& out, const char* path, sonovale_io::open_mode mode,
            abort_callback& abort) override;
  void remove_object(const char* path, abort_callback& abort) override;
  void move_object(const char* from, const char* to, abort_callback& abort) override;
  bool is_remote(const char*) override { return false; }
  // Size (all ones unless a regular file), modification time, and whether
  // the file could be written.
  void get_stats(const char* path, sonovale_io::file_stats& stats, bool& is_writable,
                 abort_callback& abort) override;
  // A path below the folder of `reference` becomes relative to it.
  bool make_reference_path(const char* path, const char* reference,
                           plix::string_base& out) override;
  // A relative local path is resolved against the folder of `reference`.
  bool resolve_reference_path(const char* path, const char* reference,
                              plix::string_base& out) override;
  void create_directory(const char* path, abort_callback& abort) override;
  // Folder listings go through the host's own callback type, which this
  // host does not define: refused with exception_io_denied.
  void list_directory(const char* path, void* callback, abort_callback& abort) override;
  bool supports_folders() override { return false; }

 private:
  const abort_callback* host_abort_ = nullptr;
  int wake_fd_ = -1;
  // Shared with the files, which may outlive the filesystem.
  std::shared_ptr<std::atomic<uint64_t>> counter_ = std::make_shared<std::atomic<uint64_t>>(0);
};
