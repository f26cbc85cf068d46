#include "host/host.h"

#include "archive/member_path.h"

using namespace sonovale_io;

sonovale_host::sonovale_host() {
  native_.set_host_abort(&abort_, abort_.wake_fd());
  registry_.add(filesystem::class_guid, &native_);
  registry_.add(filesystem::class_guid, &tempmem_);
  set_module_host_api(&registry_);
}

sonovale_host::~sonovale_host() {
  module_.reset();
  set_module_host_api(nullptr);
}

void sonovale_host::load_module(const std::string& path) {
  module_.reset();
  module_ = std::make_unique<loaded_module>(path, registry_);
}

std::vector<archive_service> sonovale_host::archives() const {
  std::vector<archive_service> found;
  if (!module_) return found;
  for (const module_service& s : module_->services()) {
    if (s.kind != service_kind::archive) continue;
    // Archives derive from filesystem and service_base along one line, so
    // the registered pointer is the archive_impl itself.
    found.push_back({s.type, static_cast<archive_impl*>(s.instance.get_ptr())});
  }
  return found;
}

std::vector<unpacker_service> sonovale_host::unpackers() const {
  std::vector<unpacker_service> found;
  if (!module_) return found;
  for (const module_service& s : module_->services()) {
    if (s.kind == service_kind::unpacker) {
      found.push_back({s.type, static_cast<::unpacker*>(s.instance.get_ptr())});
    }
  }
  return found;
}

archive_impl* sonovale_host::archive_for(const char* path) const {
  for (const archive_service& a : archives()) {
    if (a.service->is_our_archive_extension(path)) return a.service;
  }
  return nullptr;
}
