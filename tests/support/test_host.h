// An in-process host for unit tests: a service registry installed as the
// module's host API, the host's "tempmem://" filesystem, and a "mem://"
// filesystem of named in-memory files.
#pragma once

#include <atomic>
#include <map>
#include <string>

#include "host/service_registry.h"
#include "host/tempmem_filesystem.h"
#include "io/filesystem.h"
#include "tests/support/faulty_file.h"

// Files under "mem://": open for reading gives a fresh in-memory copy.
// Paths named in `remote` report is_remote; `timestamp` stamps them all.
class memory_filesystem : public sonovale_io::filesystem {
 public:
  std::map<std::string, std::string> files;
  std::map<std::string, bool> remote;
  uint64_t timestamp = 132000000000000000ull;
  std::atomic<unsigned> opens{0};
  // Files opened while `faults.fail_at` is set are wrapped in faulty_file;
  // `fault_calls` counts their operations across all of them, and
  // `fault_record` what they did.
  fault_plan faults;
  uint64_t fault_calls = 0;
  fault_log fault_record;

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  bool get_canonical_path(const char* path, plix::string_base& out) override;
  bool is_our_path(const char* path) override;
  bool get_display_path(const char* path, plix::string_base& out) override;
  void open(service_ptr_t<sonovale_io::file>& out, const char* path, sonovale_io::open_mode mode,
            abort_callback& abort) override;
  void remove_object(const char*, abort_callback&) override {}
  void move_object(const char*, const char*, abort_callback&) override {}
  bool is_remote(const char* path) override;
  void get_stats(const char* path, sonovale_io::file_stats& stats, bool& is_writable,
                 abort_callback& abort) override;
  bool make_reference_path(const char* path, const char* reference,
                           plix::string_base& out) override;
  bool resolve_reference_path(const char* path, const char* reference,
                              plix::string_base& out) override;
  void create_directory(const char*, abort_callback&) override {}
  void list_directory(const char*, void*, abort_callback&) override {}
  bool supports_folders() override { return false; }
};

// Installs itself as the module's host API for its lifetime. Services a
// test registers must outlive it (declare them first). Filesystems
// are enumerated in this order: "mem://", "tempmem://", then whatever the
// test adds.
class test_host {
 public:
  test_host();
  ~test_host();
  test_host(const test_host&) = delete;
  test_host& operator=(const test_host&) = delete;

  service_registry& registry() { return registry_; }
  memory_filesystem& mem() { return mem_; }
  // Registers `fs` as the next filesystem.
  void add_filesystem(service_base* fs) { registry_.add(sonovale_io::filesystem::class_guid, fs); }
  // Stores a "mem://" file and returns its path.
  std::string put(const std::string& name, const std::string& content);

 private:
  service_registry registry_;
  service_impl_single_t<memory_filesystem> mem_;
  service_impl_single_t<tempmem_filesystem> tempmem_;
};

// Reads a file from its current position to the end.
std::string read_all(sonovale_io::file& f);
