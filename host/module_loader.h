// Loads a module file and registers the services it offers.
//
// The module is an ordinary shared object with one export,
// sonovale_get_interface. Loading calls it with the host API, hands over
// the module's path and name, walks the factory list and registers each
// factory's instance under the factory's class identifier.
#pragma once

#include <signal.h>

#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "component/module.h"
#include "host/service_registry.h"

// The module file could not be used: it does not load, lacks the entry
// point, or speaks another client interface version. The message says why.
class module_load_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a registered service is, as far as the host can tell.
enum class service_kind {
  archive,     // a filesystem that also answers the archive class
  filesystem,  // any other filesystem
  unpacker,
  componentversion,
  installation_validator,
  other,
};

// The text used for `kind` in listings: "archive", "unpacker", ...
const char* service_kind_name(service_kind kind);

struct module_service {
  GUID class_id;
  service_kind kind;
  // Archives: their type name. Unpackers: the type name of the archive
  // registered right after them, since each format registers its unpacker
  // just before its archive; empty when no archive follows. Else empty.
  std::string type;
  service_ptr_t<service_base> instance;
};

// The client interface version this host speaks.
constexpr uint32_t supported_interface_version = 76;

// One loaded module. The library stays loaded for the object's lifetime;
// every service reference the module handed out (files included) must be
// released before the object goes. Signal handlers that the module
// installed and that are still in place at unload are put back as they
// were before loading, so no handler is left pointing into unmapped code.
class loaded_module {
 public:
  // Loads the module at `path` (made absolute, not resolved through
  // symbolic links, and handed over as the module path; the name is the
  // file name without its extension) and registers its services with
  // `registry`, in factory-list order. `registry` must outlive the object.
  // Throws module_load_error; exceptions of the module's own operations
  // pass through. Nothing stays loaded or registered after a throw.
  loaded_module(const std::string& path, service_registry& registry);
  ~loaded_module();
  loaded_module(const loaded_module&) = delete;
  loaded_module& operator=(const loaded_module&) = delete;

  module_client& client() const { return *client_; }
  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  // The factory list as walked, with each instance's kind and type.
  const std::vector<module_service>& services() const { return services_; }

 private:
  void unload() noexcept;

  // The signals a module may take over at load, and their earlier actions.
  static constexpr int watched_signals[] = {SIGINT, SIGTERM, SIGABRT, SIGHUP, SIGQUIT};
  struct sigaction saved_actions_[std::size(watched_signals)] = {};

  service_registry& registry_;
  std::string path_;
  std::string name_;
  void* library_ = nullptr;
  void* library_base_ = nullptr;  // where the module's code is mapped
  module_client* client_ = nullptr;
  std::vector<module_service> services_;
};
