#include "host/module_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>

#include "abi/unpacker.h"
#include "archive/archive.h"
#include "component/identity.h"

namespace {

using entry_point = module_client* (*)(host_api*, uintptr_t);

// A factory list longer than this is taken for a corrupt (cyclic) one.
constexpr size_t max_factories = 4096;

std::string absolute_path(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

std::string name_without_extension(const std::string& path) {
  size_t start = path.find_last_of('/');
  std::string name = path.substr(start == std::string::npos ? 0 : start + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot != 0) name.erase(dot);
  return name;
}

// Classifies a service by the interfaces it answers; archives are asked
// for their type name.
void classify(module_service& s) {
  service_ptr_t<service_base> probe;
  if (s.class_id == sonovale_io::filesystem::class_guid) {
    if (s.instance->query_class(probe, sonovale_io::archive::class_guid)) {
      s.kind = service_kind::archive;
      s.type = static_cast<sonovale_io::archive_impl*>(probe.get_ptr())->get_type_name();
    } else {
      s.kind = service_kind::filesystem;
    }
  } else if (s.class_id == unpacker::class_guid) {
    s.kind = service_kind::unpacker;
  } else if (s.class_id == componentversion::class_guid) {
    s.kind = service_kind::componentversion;
  } else if (s.class_id == component_installation_validator::class_guid) {
    s.kind = service_kind::installation_validator;
  } else {
    s.kind = service_kind::other;
  }
}

}  // namespace

const char* service_kind_name(service_kind kind) {
  switch (kind) {
    case service_kind::archive: return "archive";
    case service_kind::filesystem: return "filesystem";
    case service_kind::unpacker: return "unpacker";
    case service_kind::componentversion: return "componentversion";
    case service_kind::installation_validator: return "installation validator";
    case service_kind::other: break;
  }
  return "other";
}

loaded_module::loaded_module(const std::string& path, service_registry& registry)
    : registry_(registry), path_(absolute_path(path)), name_(name_without_extension(path)) {
  for (size_t i = 0; i < std::size(watched_signals); ++i) {
    ::sigaction(watched_signals[i], nullptr, &saved_actions_[i]);
  }
  library_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    const char* error = ::dlerror();
    std::string why = error != nullptr ? error : "cannot load the module";
    // dlerror starts with the file name, which the caller reports anyway.
    if (why.compare(0, path_.size() + 2, path_ + ": ") == 0) why.erase(0, path_.size() + 2);
    throw module_load_error(why);
  }
  // The load address, for telling the module's signal handlers at unload.
  struct link_map* map = nullptr;
  if (::dlinfo(library_, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
    library_base_ = reinterpret_cast<void*>(map->l_addr);
  }
  try {
    auto entry = reinterpret_cast<entry_point>(::dlsym(library_, "sonovale_get_interface"));
    if (entry == nullptr) throw module_load_error("the module has no sonovale_get_interface");
    client_ = entry(&registry_, reinterpret_cast<uintptr_t>(library_));
    if (client_ == nullptr) throw module_load_error("the module handed out no client");
    uint32_t version = client_->get_interface_version();
    if (version != supported_interface_version) {
      throw module_load_error("unsupported client interface version " + std::to_string(version));
    }
    client_->set_module_path(path_.c_str(), name_.c_str());

    size_t count = 0;
    for (service_factory_base* f = client_->get_factory_list(); f != nullptr; f = f->next) {
      if (++count > max_factories) throw module_load_error("the factory list does not end");
      module_service s{*f->class_id, service_kind::other, std::string(), {}};
      f->provide_instance(s.instance);
      if (s.instance.is_empty()) continue;
      classify(s);
      services_.push_back(std::move(s));
    }
    for (size_t i = 0; i < services_.size(); ++i) {
      if (services_[i].kind != service_kind::unpacker || i + 1 >= services_.size()) continue;
      if (services_[i + 1].kind == service_kind::archive) services_[i].type = services_[i + 1].type;
    }
    for (const module_service& s : services_) registry_.add(s.class_id, s.instance.get_ptr());
  } catch (...) {
    unload();
    throw;
  }
}

loaded_module::~loaded_module() {
  unload();
}

void loaded_module::unload() noexcept {
  // Every reference into the module goes before its code does.
  for (const module_service& s : services_) registry_.remove(s.instance.get_ptr());
  services_.clear();
  client_ = nullptr;
  if (library_ == nullptr) return;
  for (size_t i = 0; i < std::size(watched_signals); ++i) {
    struct sigaction current {};
    if (::sigaction(watched_signals[i], nullptr, &current) != 0) continue;
    void* handler = (current.sa_flags & SA_SIGINFO) != 0
                        ? reinterpret_cast<void*>(current.sa_sigaction)
                        : reinterpret_cast<void*>(current.sa_handler);
    if (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN) continue;
    Dl_info info{};
    if (library_base_ != nullptr && ::dladdr(handler, &info) != 0 &&
        info.dli_fbase == library_base_) {
      ::sigaction(watched_signals[i], &saved_actions_[i], nullptr);
    }
  }
  ::dlclose(library_);
  library_ = nullptr;
}
