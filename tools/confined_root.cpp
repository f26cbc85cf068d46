#include "tools/confined_root.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <string_view>

#include "host/native_filesystem.h"

namespace {

constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// As many links as the kernel's own lookups follow.
constexpr int max_links = 40;
// A name that is made and then found missing this often is being removed
// by someone else as fast as it is made.
constexpr int max_retries = 16;

// Set once the kernel has answered that it has no openat2.
std::atomic<bool> g_openat2_missing{false};

// The names of a path; empty and "." components are dropped.
std::vector<std::string> components_of(std::string_view path) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = std::min(path.find('/', start), path.size());
    std::string_view name = path.substr(start, end - start);
    if (!name.empty() && name != ".") names.emplace_back(name);
    start = end + 1;
  }
  return names;
}

}  // namespace

confined_root::confined_root(const std::string& path, confined_lookup lookup)
    : root_(::open(path.c_str(), folder_flags)), lookup_(lookup) {
  if (!root_.valid()) throw exception_io_os(errno);
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) throw exception_io_os(errno);
  root_components_ = components_of(resolved);
}

unique_fd confined_root::open_folder(const std::vector<std::string>& segments, size_t count) const {
  if (count > 0 && lookup_ == confined_lookup::automatic &&
      !g_openat2_missing.load(std::memory_order_relaxed)) {
    std::string path = segments[0];
    for (size_t i = 1; i < count; ++i) path += "/" + segments[i];
    open_how how{};
    how.flags = folder_flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    // EAGAIN: a rename elsewhere ran during a ".." step; the kernel asks
    // for another try. Every other failure goes to the walk, which is safe
    // on its own and settles what the kernel will not do here: missing
    // folders to make (ENOENT) and absolute links into the root, which
    // RESOLVE_BENEATH refuses like escapes (EXDEV).
    for (int attempt = 0; attempt < max_retries; ++attempt) {
      long fd = ::syscall(SYS_openat2, root_.get(), path.c_str(), &how, sizeof how);
      if (fd >= 0) return unique_fd(static_cast<int>(fd));
      if (errno == ENOSYS) g_openat2_missing.store(true, std::memory_order_relaxed);
      if (errno != EAGAIN) break;
    }
  }
  return walk(segments, count);
}

unique_fd confined_root::walk(const std::vector<std::string>& segments, size_t count) const {
  // The folders entered below the root, outermost first: ".." in a link's
  // target goes back along this chain, never through the file system.
  std::vector<unique_fd> chain;
  std::deque<std::string> pending(segments.begin(), segments.begin() + count);
  int links = 0;
  int retries = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.front());
    pending.pop_front();
    if (name == "..") {
      if (chain.empty()) return unique_fd();
      chain.pop_back();
      continue;
    }
    int here = chain.empty() ? root_.get() : chain.back().get();
    int fd = ::openat(here, name.c_str(), folder_flags | O_NOFOLLOW);
    if (fd >= 0) {
      chain.emplace_back(fd);
      continue;
    }
    int error = errno;
    if (error == ENOENT) {
      if (++retries > max_retries) throw exception_io_os(ENOENT);
      if (::mkdirat(here, name.c_str(), 0777) != 0 && errno != EEXIST) {
        throw exception_io_os(errno);
      }
      // Whatever is there now (our folder, or another's folder or link)
      // is looked at again by the same rules.
      pending.push_front(std::move(name));
      continue;
    }
    if (error != ELOOP && error != ENOTDIR) throw exception_io_os(error);

    // A symbolic link (O_NOFOLLOW refused it), or not a folder at all.
    char target[PATH_MAX];
    ssize_t length = ::readlinkat(here, name.c_str(), target, sizeof target);
    if (length < 0) {
      // Not a link (EINVAL) or gone (ENOENT): either it is not a folder,
      // or another process replaced it since the open; look again.
      error = errno;
      if ((error == EINVAL || error == ENOENT) && ++retries <= max_retries) {
        pending.push_front(std::move(name));
        continue;
      }
      throw exception_io_os(error == EINVAL ? ENOTDIR : error);
    }
    if (static_cast<size_t>(length) == sizeof target) throw exception_io_os(ENAMETOOLONG);
    if (++links > max_links) throw exception_io_os(ELOOP);
    std::string_view text(target, static_cast<size_t>(length));
    if (text.empty()) throw exception_io_os(ENOENT);
    std::vector<std::string> names = components_of(text);
    if (text[0] == '/') {
      bool below_root = names.size() >= root_components_.size() &&
                        std::equal(root_components_.begin(), root_components_.end(), names.begin());
      if (!below_root) return unique_fd();
      names.erase(names.begin(), names.begin() + static_cast<ptrdiff_t>(root_components_.size()));
      chain.clear();
    }
    pending.insert(pending.begin(), names.begin(), names.end());
  }
  if (!chain.empty()) return std::move(chain.back());
  int fd = ::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) throw exception_io_os(errno);
  return unique_fd(fd);
}
