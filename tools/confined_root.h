// A folder whose subfolders are opened without ever leaving it, whatever
// other processes do to the tree meanwhile.
#pragma once

#include <string>
#include <vector>

#include "tools/unique_fd.h"

// How the folders are looked up.
enum class confined_lookup {
  // openat2 with RESOLVE_BENEATH where the kernel has it, the walk where it
  // has not or where the kernel refuses (see open_folder).
  automatic,
  // Only the walk, one component at a time.
  walk,
};

// Every component is looked up relative to a descriptor of the folder
// before it, never through a path string, so a symbolic link swapped in at
// any moment cannot lead a lookup outside the root. Symbolic links are
// followed only while they stay inside: a relative target is walked from
// the link's folder, and its ".." never above the root; an absolute target
// only when it names the root's own path (as realpath gave it when the
// root was opened) or a path below it, and it is then walked from the
// root. A folder moved out of the root after it was opened is not noticed;
// that takes write access to the place it moves to.
class confined_root {
 public:
  // Opens the folder `path`. Throws exception_io_os.
  explicit confined_root(const std::string& path,
                         confined_lookup lookup = confined_lookup::automatic);

  // Opens the folder named by `segments[0, count)` below the root, making
  // missing folders on the way (0777 less the umask). Each segment is one
  // name: not empty, not "." or "..", no "/". Returns its descriptor, or
  // an empty one when the path leads outside the root. Throws
  // exception_io_os: ENOTDIR when a component is not a folder, ELOOP after
  // 40 symbolic links, and what the system reports otherwise.
  unique_fd open_folder(const std::vector<std::string>& segments, size_t count) const;

  int fd() const { return root_.get(); }

 private:
  unique_fd walk(const std::vector<std::string>& segments, size_t count) const;

  unique_fd root_;
  std::vector<std::string> root_components_;  // of its real path
  confined_lookup lookup_;
};
