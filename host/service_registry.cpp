#include "host/service_registry.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

// References are dropped after the lock is released: the last release of
// an instance runs its destructor, which must not find the lock held.

void service_registry::add(const GUID& id, service_base* instance) {
  service_ptr_t<service_base> held(instance);
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back({id, std::move(held)});
}

void service_registry::remove(service_base* instance) {
  std::vector<entry> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  auto kept = std::stable_partition(entries_.begin(), entries_.end(), [instance](const entry& e) {
    return e.instance.get_ptr() != instance;
  });
  dropped.assign(std::make_move_iterator(kept), std::make_move_iterator(entries_.end()));
  entries_.erase(kept, entries_.end());
}

void service_registry::clear() {
  std::vector<entry> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(entries_);
}

void* service_registry::lookup_service_class(const GUID& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < classes_.size(); ++i) {
    if (classes_[i] == id) return reinterpret_cast<void*>(i + 1);
  }
  classes_.push_back(id);
  return reinterpret_cast<void*>(classes_.size());
}

bool service_registry::instantiate_service(service_ptr_t<service_base>& out, void* handle,
                                           uint32_t index) {
  instantiate_calls_.fetch_add(1, std::memory_order_relaxed);
  size_t class_index = reinterpret_cast<uintptr_t>(handle);
  service_ptr_t<service_base> found;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (class_index == 0 || class_index > classes_.size()) return false;
    const GUID id = classes_[class_index - 1];
    uint32_t seen = 0;
    for (const entry& e : entries_) {
      if (!(e.id == id)) continue;
      if (seen++ == index) {
        found = e.instance.get_ptr();
        break;
      }
    }
  }
  if (found.is_empty()) return false;
  out = std::move(found);
  return true;
}

std::vector<service_base*> service_registry::instances(const GUID& id) const {
  std::vector<service_base*> found;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const entry& e : entries_) {
    if (e.id == id) found.push_back(e.instance.get_ptr());
  }
  return found;
}
