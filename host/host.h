// The stand-in host: a service registry, the host's own filesystems, a
// settable abort callback, and at most one loaded module.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "abi/unpacker.h"
#include "archive/archive.h"
#include "host/host_abort.h"
#include "host/module_loader.h"
#include "host/native_filesystem.h"
#include "host/service_registry.h"
#include "host/tempmem_filesystem.h"

// One archive or unpacker service of the loaded module with its type name.
struct archive_service {
  std::string type;
  sonovale_io::archive_impl* service;
};
struct unpacker_service {
  std::string type;  // see module_service::type
  ::unpacker* service;
};

// Registers the native and "tempmem://" filesystems first, so they come
// before any module service in every enumeration, and installs the registry
// as the host API of the host's own dispatch functions (filesystem::g_open
// and the rest) for its lifetime. Only one host may exist at a time.
class sonovale_host {
 public:
  sonovale_host();
  // Unregisters and unloads the module, then the host's filesystems.
  ~sonovale_host();
  sonovale_host(const sonovale_host&) = delete;
  sonovale_host& operator=(const sonovale_host&) = delete;

  // Loads the module at `path` and registers its services after the host's
  // filesystems. Throws module_load_error or what the module throws; a
  // module loaded before is unloaded first.
  void load_module(const std::string& path);
  // Null until a module is loaded.
  const loaded_module* module() const { return module_.get(); }

  service_registry& registry() { return registry_; }
  native_filesystem& native() { return native_; }
  // Set it (from a signal handler too) to stop every running operation;
  // the host's files check it in every read and seek, and stream reads
  // wake up for it.
  host_abort_callback& abort() { return abort_; }

  // The module's archive and unpacker services, in registration order.
  std::vector<archive_service> archives() const;
  std::vector<unpacker_service> unpackers() const;
  // The first archive that claims the extension of `path` (its type name
  // or a short form such as "tgz", in any case, asked of the archive as its
  // own listing asks it); null when none does.
  sonovale_io::archive_impl* archive_for(const char* path) const;

 private:
  host_abort_callback abort_;
  service_impl_single_t<native_filesystem> native_;
  service_impl_single_t<tempmem_filesystem> tempmem_;
  service_registry registry_;
  std::unique_ptr<loaded_module> module_;
};
