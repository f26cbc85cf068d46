#include "host/host_abort.h"

#include <sys/eventfd.h>
#include <unistd.h>

host_abort_callback::host_abort_callback() : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

host_abort_callback::~host_abort_callback() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void* host_abort_callback::get_abort_event() const {
  return wake_fd_ >= 0 ? const_cast<int*>(&wake_fd_) : nullptr;
}

void host_abort_callback::abort() {
  aborting_.store(true, std::memory_order_relaxed);
  if (wake_fd_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
    (void)ignored;
  }
}

void host_abort_callback::reset() {
  aborting_.store(false, std::memory_order_relaxed);
  if (wake_fd_ >= 0) {
    uint64_t count;
    ssize_t ignored = ::read(wake_fd_, &count, sizeof count);
    (void)ignored;
  }
}
