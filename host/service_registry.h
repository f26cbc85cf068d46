// The stand-in host's service registry and its host API.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "abi/host_api.h"

// Holds registered service instances by class identifier and answers the
// module's enumeration: lookup_service_class gives a handle for a class,
// instantiate_service the instance at an index, in registration order.
//
// Every operation takes one lock, so any of them may be called from many
// threads at once. An enumeration that runs while instances are added or
// removed sees the registrations of the moment of each call.
class service_registry final : public host_api {
 public:
  service_registry() = default;
  service_registry(const service_registry&) = delete;
  service_registry& operator=(const service_registry&) = delete;

  // Registers `instance` under `id`, holding a reference to it.
  void add(const GUID& id, service_base* instance);
  // Drops every registration of `instance`.
  void remove(service_base* instance);
  // Drops every registration.
  void clear();

  void* lookup_service_class(const GUID& id) override;
  bool instantiate_service(service_ptr_t<service_base>& out, void* handle, uint32_t index) override;

  // Registered instances of `id`, in registration order.
  std::vector<service_base*> instances(const GUID& id) const;

  // The number of instantiate_service calls so far, for tests.
  unsigned instantiate_calls() const { return instantiate_calls_.load(std::memory_order_relaxed); }

 private:
  struct entry {
    GUID id;
    service_ptr_t<service_base> instance;
  };
  mutable std::mutex mutex_;
  std::vector<entry> entries_;
  std::vector<GUID> classes_;  // handles are 1 + an index into this
  std::atomic<unsigned> instantiate_calls_{0};
};
