// An abort callback that answers true from its `trip_at`-th poll on (never
// when 0), and counts its polls: for checking where a loop polls.
#pragma once

#include "io/abort.h"

class tripping_abort : public abort_callback {
 public:
  explicit tripping_abort(unsigned trip_at = 0) : trip_at_(trip_at) {}
  bool is_aborting() const override {
    ++polls;
    return trip_at_ != 0 && polls >= trip_at_;
  }
  void* get_abort_event() const override { return nullptr; }

  mutable unsigned polls = 0;

 private:
  unsigned trip_at_;
};
