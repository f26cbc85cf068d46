// The host's abort callback: a flag that also wakes waits.
#pragma once

#include "io/abort.h"

// Setting it stores the flag and then makes an eventfd readable, so a
// stream read that polls that descriptor alongside its own sees an abort
// that arrives just before it would block, not only one that interrupts
// the wait. abort() is async-signal-safe: a SIGINT handler may call it.
class host_abort_callback : public abort_callback {
 public:
  host_abort_callback();
  ~host_abort_callback();
  host_abort_callback(const host_abort_callback&) = delete;
  host_abort_callback& operator=(const host_abort_callback&) = delete;

  bool is_aborting() const override { return aborting_.load(std::memory_order_relaxed); }
  // The address of the wake descriptor (an int), or null without one.
  void* get_abort_event() const override;

  void abort();
  // Clears the flag and drains the wake descriptor.
  void reset();
  // Readable once abort() was called; -1 when no eventfd could be made.
  int wake_fd() const { return wake_fd_; }

 private:
  std::atomic<bool> aborting_{false};
  int wake_fd_;
};
