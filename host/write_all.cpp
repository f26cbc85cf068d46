#include "host/write_all.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// One write call moves at most this much, so the abort check between
// calls comes at least this often.
constexpr size_t max_piece = size_t{1} << 20;

// Waits until `fd` takes bytes or `abort` is set. The flag is checked after
// the wake descriptor is part of the wait, so an abort set at any moment
// ends it; a failed poll is left for the write to report.
void wait_writable(int fd, const abort_callback& abort, int wake_fd) {
  for (;;) {
    struct pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    check_aborted(abort);
    if (ready > 0 && fds[0].revents != 0) return;
    if (ready < 0 && errno != EINTR) return;
  }
}

// The loop both writers share; `write_piece(data, size, done)` makes one
// system call for the bytes after the first `done`.
template <typename Write>
int write_loop(int fd, std::string_view bytes, const abort_callback* abort, int wake_fd,
               Write write_piece) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (abort != nullptr) {
      check_aborted(*abort);
      if (wake_fd >= 0) wait_writable(fd, *abort, wake_fd);
    }
    size_t piece = std::min(bytes.size() - done, max_piece);
    ssize_t put = write_piece(bytes.data() + done, piece, done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A write that takes nothing and reports no error would repeat forever.
    if (put == 0) return EIO;
    done += static_cast<size_t>(put);
  }
  return 0;
}

}  // namespace

int write_all(int fd, std::string_view bytes, const abort_callback* abort, int wake_fd) {
  return write_loop(fd, bytes, abort, wake_fd, [fd](const char* data, size_t size, size_t) {
    return ::write(fd, data, size);
  });
}

int pwrite_all(int fd, std::string_view bytes, off_t offset, const abort_callback* abort) {
  return write_loop(fd, bytes, abort, -1, [fd, offset](const char* data, size_t size, size_t done) {
    return ::pwrite(fd, data, size, offset + static_cast<off_t>(done));
  });
}
