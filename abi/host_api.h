// The host's side of the entry point: its API object and the utilities of
// its shared library that the module calls.
#pragma once

#include <cstdint>

#include "abi/service.h"

// The host object whose pointer the host passes to sonovale_get_interface.
// No base class; the slot order is the binary contract.
class BRENMOOR_SHARED host_api {
 public:
  // slot 1: an opaque handle for the class `id`, passed back unchanged to
  // instantiate_service.
  virtual void* lookup_service_class(const GUID& id) = 0;
  // slot 2: while an instance with `index` (from 0) exists, stores a new
  // reference to it in `out` and returns true; past the last, false.
  virtual bool instantiate_service(service_ptr_t<service_base>& out, void* handle,
                                   uint32_t index) = 0;

 protected:
  ~host_api() = default;
};

// The host API object stored by the entry point; null before it is called.
host_api* module_host_api();
void set_module_host_api(host_api* api);

// Walks the host's instances of the interface `T` by index: one
// lookup_service_class, then instantiate_service until it answers false.
template <typename T>
class service_enum_t {
 public:
  service_enum_t() {
    host_api* api = module_host_api();
    if (api != nullptr) handle_ = api->lookup_service_class(T::class_guid);
    api_ = api;
  }

  // Moves to the next instance and returns true; false ends the walk and
  // leaves `current` as it was.
  bool next(service_ptr_t<T>& current) {
    if (api_ == nullptr) return false;
    service_ptr_t<service_base> found;
    bool ok = api_->instantiate_service(found, handle_, index_++);
    if (ok) current = static_cast<T*>(found.get_ptr());
    return ok;
  }

 private:
  host_api* api_ = nullptr;
  void* handle_ = nullptr;
  uint32_t index_ = 0;
};

// The host's shared utility library.

// 0 when the two NUL-terminated UTF-8 texts are equal ignoring letter case.
int _stricmp_utf8(const char* a, const char* b);

// A scope marker with a static label, recorded by the host for diagnostics.
class uCallStackTracker {
 public:
  explicit uCallStackTracker(const char* label);
  ~uCallStackTracker();
  uCallStackTracker(const uCallStackTracker&) = delete;
  uCallStackTracker& operator=(const uCallStackTracker&) = delete;
};
