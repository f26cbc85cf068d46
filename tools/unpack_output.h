// Where `unpack -o OUT` writes.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "io/abort.h"
#include "tools/atomic_file.h"
#include "tools/unique_fd.h"

// A regular file, or a name where nothing is yet, is replaced atomically
// (atomic_file in its folder), keeping an existing file's permission bits
// and, where allowed, its owner; a new file gets 0666 less the umask. A
// symbolic link that leads to a regular file stays a link: the file it
// finally leads to is replaced in the same way, in that file's folder.
// Anything else, directly or through links (a FIFO, a terminal, a
// character or block device), is opened and written in place, with no
// temporary and no rename.
class unpack_output {
 public:
  // Prepares OUT. `abort` is checked while writing, and when an open that
  // waits for a FIFO's reader is interrupted (EINTR); `wake_fd` (-1 for
  // none) becomes readable once it is set, so a write to a stalled stream
  // ends with the abort. Both must outlive the object. Throws
  // exception_io_os (a folder: EISDIR; a link that leads nowhere: ENOENT;
  // a socket: ENXIO), exception_aborted.
  unpack_output(const std::string& path, const abort_callback& abort, int wake_fd);
  ~unpack_output();
  unpack_output(const unpack_output&) = delete;
  unpack_output& operator=(const unpack_output&) = delete;

  // Appends `bytes`. Throws exception_aborted, exception_io_os.
  void write(std::string_view bytes);
  // Renames the regular file into place, or closes the stream. Without a
  // commit, a regular file's temporary is removed and OUT left as it was.
  void commit();

 private:
  void open_regular(const std::string& path, mode_t mode, const struct stat* existing);

  const abort_callback& abort_;
  int wake_fd_;
  unique_fd folder_;                   // regular files: the folder of the file
  std::unique_ptr<atomic_file> file_;  // regular files
  unique_fd stream_;                   // everything else
};
