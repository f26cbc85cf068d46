#include "tools/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "host/native_filesystem.h"
#include "host/write_all.h"

mode_t creation_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

atomic_file::atomic_file(int folder_fd, std::string name, mode_t mode)
    : folder_fd_(folder_fd), name_(std::move(name)), mode_(mode) {
  thread_local std::mt19937 random_names(std::random_device{}());
  while (fd_ < 0) {
    temp_ = ".brenmoor-" + std::to_string(random_names());
    fd_ = ::openat(folder_fd_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600);
    if (fd_ < 0 && errno != EEXIST) throw exception_io_os(errno);
  }
}

atomic_file::~atomic_file() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlinkat(folder_fd_, temp_.c_str(), 0);
}

void atomic_file::write(std::string_view bytes, const abort_callback& abort) {
  int error = write_all(fd_, bytes, &abort);
  if (error != 0) throw exception_io_os(error);
}

void atomic_file::set_time(const timespec& time) {
  time_ = time;
  has_time_ = true;
}

void atomic_file::set_owner(uid_t user, gid_t group) {
  user_ = user;
  group_ = group;
  has_owner_ = true;
}

void atomic_file::commit() {
  // The owner first: changing it may clear set-user-ID and set-group-ID
  // bits, which the mode then puts back. An owner the user may not give,
  // a file system that keeps no modes, or a time it cannot store is no
  // reason to fail: the content is what was asked for.
  if (has_owner_ && ::fchown(fd_, user_, group_) != 0) {
    // kept as created
  }
  if (::fchmod(fd_, mode_) != 0) {
    // kept as created
  }
  if (has_time_) {
    timespec times[2] = {time_, time_};
    if (::futimens(fd_, times) != 0) {
      // kept as written
    }
  }
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw exception_io_os(errno);
  if (::renameat(folder_fd_, temp_.c_str(), folder_fd_, name_.c_str()) != 0) {
    throw exception_io_os(errno);
  }
  committed_ = true;
}
