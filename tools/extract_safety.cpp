#include "tools/extract_safety.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>

#include "host/native_filesystem.h"

namespace {

constexpr const char* refused_absolute = "refused: absolute member name";
constexpr const char* refused_dot_dot = "refused: member name contains '..'";
constexpr const char* refused_empty = "refused: member name names no file";
constexpr const char* refused_outside = "refused: path leads outside the target folder";

// Closes a descriptor at the end of a scope.
struct fd_guard {
  int fd;
  ~fd_guard() {
    if (fd >= 0) ::close(fd);
  }
};

// Removes the temporary file unless it was renamed into place.
struct temp_guard {
  int folder_fd;
  std::string name;
  bool keep = false;
  ~temp_guard() {
    if (!keep) ::unlinkat(folder_fd, name.c_str(), 0);
  }
};

bool inside(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

// A folder descriptor's path with links resolved, through /proc.
std::string resolve_in(int folder_fd, const std::string& name) {
  std::string proc = "/proc/self/fd/" + std::to_string(folder_fd) + "/" + name;
  char resolved[PATH_MAX];
  if (::realpath(proc.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

}  // namespace

member_target plan_member(std::string_view name) {
  member_target t;
  if (!name.empty() && name[0] == '/') {
    t.refusal = refused_absolute;
    return t;
  }
  t.is_folder = !name.empty() && name.back() == '/';
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view segment = name.substr(start, end - start);
    if (segment == "..") {
      t.refusal = refused_dot_dot;
      t.segments.clear();
      return t;
    }
    if (!segment.empty() && segment != ".") t.segments.emplace_back(segment);
    start = end + 1;
  }
  if (t.segments.empty()) t.refusal = refused_empty;
  return t;
}

extractor::extractor(const std::string& folder) {
  root_fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) throw exception_io_os(errno);
  char resolved[PATH_MAX];
  if (::realpath(folder.c_str(), resolved) == nullptr) {
    int error = errno;
    ::close(root_fd_);
    throw exception_io_os(error);
  }
  root_real_ = resolved;
}

extractor::~extractor() {
  ::close(root_fd_);
}

int extractor::open_folders(const std::vector<std::string>& segments, size_t count,
                            const char*& refusal) {
  int fd = ::dup(root_fd_);
  if (fd < 0) throw exception_io_os(errno);
  fd_guard current{fd};
  for (size_t i = 0; i < count; ++i) {
    const char* name = segments[i].c_str();
    int next = ::openat(current.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT) {
      if (::mkdirat(current.fd, name, 0777) != 0 && errno != EEXIST) throw exception_io_os(errno);
      next = ::openat(current.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0 && (errno == ELOOP || errno == ENOTDIR)) {
      // A symbolic link (or not a folder at all): follow a link only when
      // where it leads stays inside the target folder.
      struct stat st;
      if (::fstatat(current.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) throw exception_io_os(errno);
      if (!S_ISLNK(st.st_mode)) throw exception_io_os(ENOTDIR);
      std::string target = resolve_in(current.fd, name);
      if (target.empty() || !inside(target, root_real_)) {
        refusal = refused_outside;
        return -1;
      }
      next = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (next < 0) throw exception_io_os(errno);
    ::close(current.fd);
    current.fd = next;
  }
  int result = current.fd;
  current.fd = -1;
  return result;
}

const char* extractor::write(const member_target& target, sonovale_io::file& content,
                             uint64_t timestamp, abort_callback& abort) {
  if (target.refusal != nullptr) return target.refusal;
  const char* refusal = nullptr;
  size_t folders = target.is_folder ? target.segments.size() : target.segments.size() - 1;
  fd_guard folder{open_folders(target.segments, folders, refusal)};
  if (folder.fd < 0) return refusal;
  if (target.is_folder) return nullptr;

  static std::mt19937 random_names(std::random_device{}());
  temp_guard temp{folder.fd, std::string()};
  int fd = -1;
  while (fd < 0) {
    temp.name = ".brenmoor-" + std::to_string(random_names());
    fd = ::openat(folder.fd, temp.name.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) {
      temp.keep = true;  // nothing was created
      throw exception_io_os(errno);
    }
  }
  fd_guard out{fd};
  char buffer[64 * 1024];
  for (;;) {
    uint32_t got = content.read(buffer, sizeof buffer, abort);
    for (uint32_t done = 0; done < got;) {
      ssize_t put = ::write(out.fd, buffer + done, got - done);
      if (put < 0) {
        if (errno == EINTR) {
          check_aborted(abort);
          continue;
        }
        throw exception_io_os(errno);
      }
      done += static_cast<uint32_t>(put);
    }
    if (got < sizeof buffer) break;
  }
  if (timestamp != sonovale_io::unknown_size) {
    constexpr uint64_t seconds_1601_to_1970 = 11644473600;
    uint64_t ticks = timestamp;
    struct timespec times[2];
    times[0].tv_sec =
        static_cast<time_t>(ticks / 10000000) - static_cast<time_t>(seconds_1601_to_1970);
    times[0].tv_nsec = static_cast<long>(ticks % 10000000) * 100;
    times[1] = times[0];
    ::futimens(out.fd, times);  // a time that cannot be set is no reason to fail
  }
  if (::close(out.fd) != 0) {
    out.fd = -1;
    throw exception_io_os(errno);
  }
  out.fd = -1;
  const std::string& final_name = target.segments.back();
  if (::renameat(folder.fd, temp.name.c_str(), folder.fd, final_name.c_str()) != 0) {
    throw exception_io_os(errno);
  }
  temp.keep = true;
  return nullptr;
}
