#include "host/tempmem_filesystem.h"

#include <cstring>

#include "host/host_time.h"
#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {

constexpr char tempmem_prefix[] = "tempmem://";

}  // namespace

bool tempmem_filesystem::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<filesystem>(this, out, id);
}

bool tempmem_filesystem::is_our_path(const char* path) {
  return std::strncmp(path, tempmem_prefix, sizeof tempmem_prefix - 1) == 0;
}

void tempmem_filesystem::open(service_ptr_t<file>& out, const char*, open_mode mode,
                              abort_callback&) {
  if (mode != open_mode_write_new) throw exception_io_denied();
  out = make_file_buffer(0, timestamp_now());
}

void tempmem_filesystem::remove_object(const char*, abort_callback&) {
  throw exception_io_not_found();
}

void tempmem_filesystem::move_object(const char*, const char*, abort_callback&) {
  throw exception_io_denied();
}

void tempmem_filesystem::get_stats(const char*, file_stats&, bool&, abort_callback&) {
  throw exception_io_not_found();
}

void tempmem_filesystem::create_directory(const char*, abort_callback&) {
  throw exception_io_denied();
}

void tempmem_filesystem::list_directory(const char*, void*, abort_callback&) {
  throw exception_io_not_found();
}
