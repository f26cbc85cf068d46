// Listing archives through the module's archive services: the member
// callback the commands share, and the small path helpers around it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "archive/archive.h"
#include "host/host.h"

// A member callback whose abort state is `abort`'s. A failure inside
// handle() is kept and the walk asked to stop; run() rethrows it once the
// module has returned, so no host exception unwinds through the module.
class host_member_callback : public sonovale_io::member_callback {
 public:
  explicit host_member_callback(abort_callback& abort) : abort_(abort) {}

  bool is_aborting() const override { return abort_.is_aborting(); }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(sonovale_io::archive* owner, const char* path,
                 const sonovale_io::file_stats& stats,
                 service_ptr_t<sonovale_io::file>& reader) override;

  // Lists the archive at `path` through `a` (`reader`, when set, holds it
  // open), then rethrows a failure kept from handle(), which takes
  // precedence over what the module threw after it.
  void run(sonovale_io::archive_impl& a, const std::string& path,
           service_ptr_t<sonovale_io::file> reader, bool supply_readers);

 protected:
  // One member; returns true to go on. May throw.
  virtual bool handle(sonovale_io::archive* owner, const char* path,
                      const sonovale_io::file_stats& stats,
                      service_ptr_t<sonovale_io::file>& reader) = 0;
  abort_callback& abort_;

 private:
  std::exception_ptr pending_;
};

// The archive service that claims the extension of `path`. Throws
// std::runtime_error ("no registered archive type for the extension 'x'")
// when none does.
sonovale_io::archive_impl& require_archive(sonovale_host& host, const std::string& path);

// The member's name inside its archive: the last part of a member path;
// `member_path` itself when it is not one.
std::string member_name_of(const char* member_path);

// The local file a path finally reads from: member paths are peeled down
// to their outermost archive path.
std::string source_file(const std::string& path);

// The size of source_file(path) when it is a local file the host can
// measure; unknown_size otherwise (the caller reports why it fails).
uint64_t source_size(sonovale_host& host, const std::string& path, abort_callback& abort);
