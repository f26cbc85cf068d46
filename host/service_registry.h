// The stand-in host's service registry and its host API.
#pragma once

#include <vector>

#include "component/host_api.h"

// Holds registered service instances by class identifier and answers the
// module's enumeration: lookup_service_class gives a handle for a class,
// instantiate_service the instance at an index, in registration order.
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
  void clear() { entries_.clear(); }

  void* lookup_service_class(const GUID& id) override;
  bool instantiate_service(service_ptr_t<service_base>& out, void* handle,
                           uint32_t index) override;

  // Registered instances of `id`, in registration order.
  std::vector<service_base*> instances(const GUID& id) const;

  // The number of instantiate_service calls so far, for tests.
  unsigned instantiate_calls() const { return instantiate_calls_; }

 private:
  struct entry {
    GUID id;
    service_ptr_t<service_base> instance;
  };
  std::vector<entry> entries_;
  std::vector<GUID> classes_;  // handles are 1 + an index into this
  unsigned instantiate_calls_ = 0;
};
