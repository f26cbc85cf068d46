#include "host/service_registry.h"

#include <cstdint>

void service_registry::add(const GUID& id, service_base* instance) {
  entries_.push_back({id, service_ptr_t<service_base>(instance)});
}

void service_registry::remove(service_base* instance) {
  std::erase_if(entries_, [instance](const entry& e) { return e.instance.get_ptr() == instance; });
}

void* service_registry::lookup_service_class(const GUID& id) {
  for (size_t i = 0; i < classes_.size(); ++i) {
    if (classes_[i] == id) return reinterpret_cast<void*>(i + 1);
  }
  classes_.push_back(id);
  return reinterpret_cast<void*>(classes_.size());
}

bool service_registry::instantiate_service(service_ptr_t<service_base>& out, void* handle,
                                           uint32_t index) {
  ++instantiate_calls_;
  size_t class_index = reinterpret_cast<uintptr_t>(handle);
  if (class_index == 0 || class_index > classes_.size()) return false;
  const GUID& id = classes_[class_index - 1];
  uint32_t seen = 0;
  for (const entry& e : entries_) {
    if (!(e.id == id)) continue;
    if (seen++ == index) {
      out = e.instance.get_ptr();
      return true;
    }
  }
  return false;
}

std::vector<service_base*> service_registry::instances(const GUID& id) const {
  std::vector<service_base*> found;
  for (const entry& e : entries_) {
    if (e.id == id) found.push_back(e.instance.get_ptr());
  }
  return found;
}
