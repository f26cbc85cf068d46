// The service model: reference-counted objects named by class identifiers.
//
// Every object exchanged with the host derives from `service_base`, whose
// three operations come first in every operation table. A `service_ptr_t`
// holds one reference. `service_impl_t` gives heap objects an atomic count;
// `service_impl_single_t` makes static objects whose counting does nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "abi/guid.h"
#include "abi/visibility.h"

template <typename T>
class service_ptr_t;

// The root of every service interface. The slot order is the binary contract
// with the host: do not reorder, and do not add a virtual destructor.
class BRENMOOR_SHARED service_base {
 public:
  // slot 1: drops one reference and returns the new count.
  virtual int32_t release_reference() = 0;
  // slot 2: takes one reference and returns the new count.
  virtual int32_t add_reference() = 0;
  // slot 3: when the object implements the interface `id`, stores itself in
  // `out` and returns true; otherwise returns false and leaves `out` alone.
  virtual bool query_class(service_ptr_t<service_base>& out, const GUID& id) = 0;

 protected:
  ~service_base() = default;
};

// An owning pointer that holds exactly one reference, or none. It is one
// pointer wide and crosses the module boundary by reference.
template <typename T>
class service_ptr_t {
 public:
  service_ptr_t() = default;
  service_ptr_t(T* p) { assign(p); }  // NOLINT: implicit, as a raw pointer
  service_ptr_t(const service_ptr_t& other) { assign(other.ptr_); }
  service_ptr_t(service_ptr_t&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  ~service_ptr_t() { release(); }

  service_ptr_t& operator=(const service_ptr_t& other) {
    assign(other.ptr_);
    return *this;
  }
  service_ptr_t& operator=(service_ptr_t&& other) noexcept {
    if (this != &other) {
      release();
      ptr_ = other.ptr_;
      other.ptr_ = nullptr;
    }
    return *this;
  }
  service_ptr_t& operator=(T* p) {
    assign(p);
    return *this;
  }

  // Takes a reference on `p` first, then drops the old one, so assigning
  // the object already held is safe.
  void assign(T* p) {
    if (p != nullptr) p->add_reference();
    T* old = ptr_;
    ptr_ = p;
    if (old != nullptr) old->release_reference();
  }

  // Drops the reference held, if any.
  void release() {
    T* old = ptr_;
    ptr_ = nullptr;
    if (old != nullptr) old->release_reference();
  }

  T* get_ptr() const { return ptr_; }
  T* operator->() const { return ptr_; }
  T& operator*() const { return *ptr_; }
  bool is_valid() const { return ptr_ != nullptr; }
  bool is_empty() const { return ptr_ == nullptr; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  T* ptr_ = nullptr;
};

// Wraps `T` for a heap object: an atomic count that starts at 0; the release
// that brings it back to 0 deletes the object. The first assignment to a
// service pointer takes the first reference.
template <typename T>
class service_impl_t final : public T {
 public:
  template <typename... A>
  explicit service_impl_t(A&&... args) : T(std::forward<A>(args)...) {}

  int32_t add_reference() override { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t release_reference() override {
    int32_t n = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete this;
    return n;
  }

 private:
  std::atomic<int32_t> count_{0};
};

// Wraps `T` for a static object that lives from load to unload: counting
// does nothing and always answers 1.
template <typename T>
class service_impl_single_t final : public T {
 public:
  using T::T;
  int32_t add_reference() override { return 1; }
  int32_t release_reference() override { return 1; }
};

// The query_class answer of a service that implements one interface `I`:
// stores `self` in `out` for I's identifier, otherwise leaves `out` alone.
template <typename I>
bool answer_class(I* self, service_ptr_t<service_base>& out, const GUID& id) {
  if (!(id == I::class_guid)) return false;
  out = self;
  return true;
}

// A static object that hands out one service. Fields, in order after the
// operation table: `next` and `class_id`; hosts read them in that order.
class BRENMOOR_SHARED service_factory_base {
 public:
  // slot 1: stores the factory's service in `out`.
  virtual void provide_instance(service_ptr_t<service_base>& out) = 0;

  service_factory_base* next;
  const GUID* class_id;

 protected:
  // Links the factory at the front of the module's factory list.
  explicit service_factory_base(const GUID& id);
  ~service_factory_base() = default;
};

// The head of the module's factory list; null until the first registration.
service_factory_base* factory_list_head();

template <typename I>
class service_factory_base_t : public service_factory_base {
 protected:
  service_factory_base_t() : service_factory_base(I::class_guid) {}
};

// A factory holding one embedded static instance of `T`, registered under
// the interface `I`. Every call hands out the same object.
template <typename T, typename I>
class service_factory_single_t : public service_factory_base_t<I> {
 public:
  void provide_instance(service_ptr_t<service_base>& out) override { out = &instance_; }
  T& get_static_instance() { return instance_; }

 private:
  service_impl_single_t<T> instance_;
};
