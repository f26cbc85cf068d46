// An abort callback that counts its polls and reports the abort from poll
// number `trip_at` on (never when 0). The count is atomic, so that a
// decoder may poll it from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "io/abort.h"

class tripping_abort : public abort_callback {
 public:
  explicit tripping_abort(uint64_t trip_at = 0) : trip_at_(trip_at) {}
  bool is_aborting() const override {
    uint64_t poll = polls_.fetch_add(1, std::memory_order_relaxed) + 1;
    return trip_at_ != 0 && poll >= trip_at_;
  }
  void* get_abort_event() const override { return nullptr; }
  uint64_t polls() const { return polls_.load(std::memory_order_relaxed); }

 private:
  uint64_t trip_at_;
  mutable std::atomic<uint64_t> polls_{0};
};
