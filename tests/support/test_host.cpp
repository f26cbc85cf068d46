#include "tests/support/test_host.h"

#include <cstring>

#include "archive/content_index.h"
#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {
constexpr char mem_prefix[] = "mem://";
}

bool memory_filesystem::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  if (!(id == filesystem::class_guid)) return false;
  out = this;
  return true;
}

bool memory_filesystem::get_canonical_path(const char* path, plix::string_base& out) {
  if (!is_our_path(path)) return false;
  // Canonical form: the path with a doubled slash after the name removed.
  std::string text(path);
  for (size_t at; (at = text.find("//", sizeof mem_prefix)) != std::string::npos;) text.erase(at, 1);
  out.set_string(text.c_str());
  return true;
}

bool memory_filesystem::is_our_path(const char* path) {
  return std::strncmp(path, mem_prefix, sizeof mem_prefix - 1) == 0;
}

bool memory_filesystem::get_display_path(const char* path, plix::string_base& out) {
  if (!is_our_path(path)) return false;
  out.set_string("[mem] ");
  out.add_string(path + sizeof mem_prefix - 1);
  return true;
}

void memory_filesystem::open(service_ptr_t<file>& out, const char* path, open_mode mode,
                             abort_callback& abort) {
  if (mode != open_mode_read) throw exception_io_denied();
  auto found = files.find(path);
  if (found == files.end()) throw exception_io_not_found();
  ++opens;
  file_ptr f = make_file_buffer(0, timestamp);
  f->write(found->second.data(), static_cast<uint32_t>(found->second.size()), abort);
  f->reopen(abort);
  if (faults.fail_at != 0) {
    out = new service_impl_t<faulty_file>(f, faults, &fault_calls, &fault_record);
    return;
  }
  out = f;
}

bool memory_filesystem::is_remote(const char* path) {
  auto found = remote.find(path);
  return found != remote.end() && found->second;
}

void memory_filesystem::get_stats(const char* path, file_stats& stats, bool& is_writable,
                                  abort_callback&) {
  auto found = files.find(path);
  if (found == files.end()) throw exception_io_not_found();
  stats = {found->second.size(), timestamp};
  is_writable = true;
}

bool memory_filesystem::make_reference_path(const char* path, const char* reference,
                                            plix::string_base& out) {
  if (!is_our_path(path)) return false;
  out.set_string("ref:");
  out.add_string(reference);
  out.add_string(":");
  out.add_string(path + sizeof mem_prefix - 1);
  return true;
}

bool memory_filesystem::resolve_reference_path(const char* path, const char*,
                                               plix::string_base& out) {
  if (std::strncmp(path, "ref:", 4) != 0) return false;
  const char* name = std::strchr(path + 4, ':');
  if (name == nullptr) return false;
  out.set_string(mem_prefix);
  out.add_string(name + 1);
  return true;
}

test_host::test_host() {
  // Tests start from an empty index in memory, whatever the environment
  // and earlier runs left on disk; those that test the disk choose it.
  content_index_use(index_mode::memory);
  registry_.add(filesystem::class_guid, &mem_);
  registry_.add(filesystem::class_guid, &tempmem_);
  set_module_host_api(&registry_);
}

test_host::~test_host() {
  set_module_host_api(nullptr);
  registry_.clear();  // drop references before the filesystems go
}

std::string test_host::put(const std::string& name, const std::string& content) {
  std::string path = mem_prefix + name;
  mem_.files[path] = content;
  return path;
}

std::string read_all(file& f) {
  abort_callback_dummy abort;
  std::string out;
  char chunk[65536];
  for (;;) {
    uint32_t got = f.read(chunk, sizeof chunk, abort);
    out.append(chunk, got);
    if (got < sizeof chunk) return out;
  }
}
