#include "tools/unpack_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "host/native_filesystem.h"
#include "host/write_all.h"

unpack_output::unpack_output(const std::string& path, const abort_callback& abort, int wake_fd)
    : abort_(abort), wake_fd_(wake_fd) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    int error = errno;
    // A link that leads nowhere is refused rather than followed: its
    // target would be made wherever the link points.
    struct stat link;
    if (error != ENOENT || (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))) {
      throw exception_io_os(error);
    }
    open_regular(path, creation_mode(), nullptr);
    return;
  }
  if (S_ISDIR(st.st_mode)) throw exception_io_os(EISDIR);
  if (S_ISREG(st.st_mode)) {
    // Through links, the file they finally lead to is replaced; the links
    // stay as they are.
    char target[PATH_MAX];
    if (::realpath(path.c_str(), target) == nullptr) throw exception_io_os(errno);
    open_regular(target, st.st_mode & 07777, &st);
    return;
  }
  // O_TRUNC is ignored for FIFOs, terminals and devices; it matters only
  // if a regular file took OUT's place since the stat.
  for (;;) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) {
      stream_.reset(fd);
      return;
    }
    if (errno != EINTR) throw exception_io_os(errno);
    check_aborted(abort_);
  }
}

unpack_output::~unpack_output() = default;

void unpack_output::open_regular(const std::string& path, mode_t mode,
                                 const struct stat* existing) {
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  folder_.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder_.valid()) throw exception_io_os(errno);
  file_ = std::make_unique<atomic_file>(folder_.get(), name, mode);
  if (existing != nullptr) file_->set_owner(existing->st_uid, existing->st_gid);
}

void unpack_output::write(std::string_view bytes) {
  if (file_) {
    file_->write(bytes, abort_);
    return;
  }
  int error = write_all(stream_.get(), bytes, &abort_, wake_fd_);
  if (error != 0) throw exception_io_os(error);
}

void unpack_output::commit() {
  if (file_) {
    file_->commit();
    return;
  }
  if (::close(stream_.release()) != 0) throw exception_io_os(errno);
}
