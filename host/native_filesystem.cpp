#include "host/native_filesystem.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host/write_all.h"

using namespace sonovale_io;

namespace {

// strerror may share one buffer between threads; the GNU strerror_r
// answers from its table or fills the caller's buffer.
std::string error_text(int error) {
  char buffer[128];
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

exception_io_os::exception_io_os(int error) : exception_io(error_text(error).c_str(), true) {}

void throw_os_error(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: throw exception_io_not_found();
    case EACCES:
    case EPERM:
    case EROFS: throw exception_io_denied();
    default: throw exception_io_os(error);
  }
}

bool has_scheme(const char* path) {
  // RFC 3986 scheme: a letter, then letters, digits, "+", "-" or ".".
  const char* p = path;
  auto is_alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!is_alpha(*p)) return false;
  while (is_alpha(*p) || (*p >= '0' && *p <= '9') || *p == '+' || *p == '-' || *p == '.') ++p;
  return std::strncmp(p, "://", 3) == 0;
}

namespace {

constexpr char file_scheme[] = "file://";

// The operating-system path of a path this filesystem owns.
const char* local_path(const char* path) {
  if (std::strncmp(path, file_scheme, sizeof file_scheme - 1) == 0) {
    return path + sizeof file_scheme - 1;
  }
  return path;
}

uint64_t stat_timestamp(const struct stat& st) {
  return timestamp_from_unix(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
}

// Set while either the abort of a call or the host's own is.
class either_abort final : public abort_callback {
 public:
  either_abort(const abort_callback& call, const abort_callback* host) : call_(call), host_(host) {}
  bool is_aborting() const override {
    return call_.is_aborting() || (host_ != nullptr && host_->is_aborting());
  }
  void* get_abort_event() const override { return nullptr; }

 private:
  const abort_callback& call_;
  const abort_callback* host_;
};

// A file over a descriptor it owns. Regular files are read and written at
// an explicit position (pread, pwrite), so the descriptor's own offset is
// never relied on; other kinds (pipes, terminals) are streams that cannot
// seek and report an unknown size.
class native_file : public file {
 public:
  native_file(int fd, bool writable, const struct stat& st, const abort_callback* host_abort,
              int wake_fd, std::shared_ptr<std::atomic<uint64_t>> counter)
      : fd_(fd),
        writable_(writable),
        seekable_(S_ISREG(st.st_mode)),
        size_(static_cast<uint64_t>(st.st_size)),
        timestamp_(stat_timestamp(st)),
        host_abort_(host_abort),
        wake_fd_(wake_fd),
        counter_(std::move(counter)) {}
  native_file(const native_file&) = delete;
  native_file& operator=(const native_file&) = delete;

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override {
    if (!(id == file::class_guid)) return false;
    out = this;
    return true;
  }

  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override {
    check_abort(abort);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    // Loop until the count is met or the end is reached: a short answer
    // tells the caller that nothing more follows.
    while (done < count) {
      if (!seekable_) wait_readable(abort);
      ssize_t got = seekable_ ? ::pread(fd_, out + done, count - done, to_off(position_))
                              : ::read(fd_, out + done, count - done);
      if (got < 0) {
        if (errno == EINTR) {
          check_abort(abort);
          continue;
        }
        throw_os_error(errno);
      }
      if (got == 0) break;
      done += static_cast<uint32_t>(got);
      position_ += static_cast<uint64_t>(got);
      counter_->fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    }
    return done;
  }

  void write(const void* buffer, uint32_t count, abort_callback& abort) override {
    if (!writable_) throw exception_io_denied();
    either_abort both(abort, host_abort_);
    std::string_view bytes(static_cast<const char*>(buffer), count);
    int error = seekable_ ? pwrite_all(fd_, bytes, to_off(position_), &both)
                          : write_all(fd_, bytes, &both, wake_fd_);
    if (error != 0) throw_os_error(error);
    position_ += count;
    if (position_ > size_) size_ = position_;
  }

  uint64_t get_size(abort_callback&) override { return seekable_ ? size_ : unknown_size; }
  uint64_t get_position(abort_callback&) override { return position_; }

  void resize(uint64_t size, abort_callback&) override {
    if (!writable_) throw exception_io_denied();
    if (!seekable_) throw exception_io_os(ESPIPE);
    if (::ftruncate(fd_, to_off(size)) != 0) throw_os_error(errno);
    size_ = size;
    if (position_ > size_) position_ = size_;
  }

  // Seeking past the end stops at the end, as the in-memory file does.
  void seek(uint64_t position, abort_callback& abort) override {
    check_abort(abort);
    if (!seekable_) {
      if (position != position_) throw exception_io_os(ESPIPE);
      return;
    }
    position_ = position < size_ ? position : size_;
  }

  bool can_seek() override { return seekable_; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return false; }
  void on_hint(void*) override {}

  uint64_t get_timestamp(abort_callback&) override {
    if (writable_) {
      struct stat st;
      if (::fstat(fd_, &st) != 0) throw_os_error(errno);
      timestamp_ = stat_timestamp(st);
    }
    return timestamp_;
  }

  void reopen(abort_callback& abort) override { seek(0, abort); }
  bool is_remote() override { return false; }

 protected:
  ~native_file() { ::close(fd_); }

 private:
  void check_abort(abort_callback& abort) const {
    check_aborted(abort);
    if (host_abort_ != nullptr) check_aborted(*host_abort_);
  }

  // Waits until the stream has data (or its end) or an abort comes. The
  // flag is checked after the wake descriptor is part of the wait, so an
  // abort set at any moment ends the wait.
  void wait_readable(abort_callback& abort) const {
    check_abort(abort);
    if (wake_fd_ < 0) return;
    for (;;) {
      struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      int ready = ::poll(fds, 2, -1);
      check_abort(abort);
      if (ready > 0 && fds[0].revents != 0) return;
      if (ready < 0 && errno != EINTR) return;  // let the read report it
    }
  }

  // Positions beyond what off_t holds are refused by the system as EINVAL
  // or EFBIG; clamp rather than wrap into a negative offset.
  static off_t to_off(uint64_t position) {
    constexpr uint64_t max_off = static_cast<uint64_t>(INT64_MAX);
    return static_cast<off_t>(position < max_off ? position : max_off);
  }

  int fd_;
  bool writable_;
  bool seekable_;
  uint64_t size_;  // kept up to date by this object's writes and resizes
  uint64_t timestamp_;
  uint64_t position_ = 0;
  const abort_callback* host_abort_;
  int wake_fd_;
  std::shared_ptr<std::atomic<uint64_t>> counter_;
};

std::string folder_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return std::string();
  return std::string(path, static_cast<size_t>(slash - path + 1));
}

}  // namespace

bool native_filesystem::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<filesystem>(this, out, id);
}

bool native_filesystem::get_canonical_path(const char* path, plix::string_base& out) {
  if (!is_our_path(path)) return false;
  char resolved[PATH_MAX];
  if (::realpath(local_path(path), resolved) == nullptr) return false;
  out.set_string(resolved);
  return true;
}

bool native_filesystem::is_our_path(const char* path) {
  if (path[0] == '\0') return false;
  if (std::strncmp(path, file_scheme, sizeof file_scheme - 1) == 0) return true;
  return !has_scheme(path);
}

bool native_filesystem::get_display_path(const char* path, plix::string_base& out) {
  if (!is_our_path(path)) return false;
  out.set_string(path);
  return true;
}

void native_filesystem::open(service_ptr_t<file>& out, const char* path, open_mode mode,
                             abort_callback& abort) {
  check_aborted(abort);
  int flags = O_CLOEXEC;
  bool writable = true;
  switch (mode) {
    case open_mode_read:
      flags |= O_RDONLY;
      writable = false;
      break;
    case open_mode_write_existing: flags |= O_RDWR; break;
    case open_mode_write_new: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    default: throw exception_io_denied();
  }
  int fd;
  do {
    fd = ::open(local_path(path), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw_os_error(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    throw exception_io_os(error);
  }
  native_file* opened;
  try {
    opened = new service_impl_t<native_file>(fd, writable, st, host_abort_, wake_fd_, counter_);
  } catch (...) {
    ::close(fd);
    throw;
  }
  out = opened;
}

void native_filesystem::remove_object(const char* path, abort_callback&) {
  if (::unlink(local_path(path)) != 0) throw_os_error(errno);
}

void native_filesystem::move_object(const char* from, const char* to, abort_callback&) {
  if (::rename(local_path(from), local_path(to)) != 0) throw_os_error(errno);
}

void native_filesystem::get_stats(const char* path, file_stats& stats, bool& is_writable,
                                  abort_callback& abort) {
  check_aborted(abort);
  struct stat st;
  if (::stat(local_path(path), &st) != 0) throw_os_error(errno);
  stats.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : unknown_size;
  stats.timestamp = stat_timestamp(st);
  is_writable = ::access(local_path(path), W_OK) == 0;
}

bool native_filesystem::make_reference_path(const char* path, const char* reference,
                                            plix::string_base& out) {
  if (!is_our_path(path) || !is_our_path(reference)) return false;
  std::string folder = folder_of(local_path(reference));
  const char* local = local_path(path);
  if (folder.empty() || std::strncmp(local, folder.c_str(), folder.size()) != 0) return false;
  out.set_string(local + folder.size());
  return true;
}

bool native_filesystem::resolve_reference_path(const char* path, const char* reference,
                                               plix::string_base& out) {
  if (path[0] == '\0' || path[0] == '/' || has_scheme(path) || !is_our_path(reference)) {
    return false;
  }
  std::string full = folder_of(local_path(reference)) + path;
  out.set_string(full.c_str());
  return true;
}

void native_filesystem::create_directory(const char* path, abort_callback&) {
  if (::mkdir(local_path(path), 0777) != 0) throw_os_error(errno);
}

void native_filesystem::list_directory(const char*, void*, abort_callback&) {
  throw exception_io_denied();
}
