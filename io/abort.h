// The abort callback: how long operations learn that the user wants to stop.
#pragma once

#include <atomic>
#include <cstdint>

#include "abi/visibility.h"
#include "io/exceptions.h"

// Passed by reference as the last argument of every blocking operation.
// The slot order is the binary contract with the host.
class BRENMOOR_SHARED abort_callback {
 public:
  // slot 1: true once the user has asked the current operation to stop.
  virtual bool is_aborting() const = 0;
  // slot 2: defined by the host (an event to wait on); the module never
  // calls it.
  virtual void* get_abort_event() const = 0;

 protected:
  ~abort_callback() = default;
};

// Decoders poll the abort callback at least once every this many bytes of
// output: a few bytes of input can expand to gigabytes.
constexpr uint32_t abort_poll_bytes = 1 << 20;

// Throws `exception_aborted` ("User abort") when `abort` is set.
inline void check_aborted(const abort_callback& abort) {
  if (abort.is_aborting()) throw sonovale_io::exception_aborted();
}

// An abort callback whose state is a flag that any thread may set.
class abort_callback_impl : public abort_callback {
 public:
  bool is_aborting() const override { return aborting_.load(std::memory_order_relaxed); }
  void* get_abort_event() const override { return nullptr; }
  void abort() { aborting_.store(true, std::memory_order_relaxed); }
  void reset() { aborting_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<bool> aborting_{false};
};

// An abort callback that is never set.
class abort_callback_dummy : public abort_callback {
 public:
  bool is_aborting() const override { return false; }
  void* get_abort_event() const override { return nullptr; }
};
