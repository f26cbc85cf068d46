#include "io/exceptions.h"

#include <cstring>

namespace plix {

namespace {
const char unknown_exception[] = "Unknown exception";
}

exception::exception(const char* message, bool /*copy*/) : static_(nullptr) {
  if (message == nullptr) {
    static_ = unknown_exception;
    return;
  }
  size_t n = std::strlen(message) + 1;
  char* copy = new (std::nothrow) char[n];
  if (copy == nullptr) throw bad_alloc();
  std::memcpy(copy, message, n);
  owned_.reset(copy);
}

const char* exception::what() const noexcept { return owned_ ? owned_.get() : static_; }

const char* bad_alloc::what() const noexcept { return "bad allocation"; }

}  // namespace plix
