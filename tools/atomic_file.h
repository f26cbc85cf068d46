// A file that appears under its name only once it is complete.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <string_view>

#include "io/abort.h"

// The permission bits a plain creation gives a new file: 0666 without the
// bits of the process's umask. Not safe while another thread changes the
// umask.
mode_t creation_mode();

// Written to a temporary ".brenmoor-<number>" in the folder of its final
// name and renamed over that name by commit. Until then the final name is
// untouched; when the object goes without a commit (a failure, an abort),
// the temporary is removed. The temporary is made with O_EXCL and the
// rename replaces the name itself, so a symbolic link at the final name is
// replaced, never followed. While being written the temporary is readable
// by its owner only.
class atomic_file {
 public:
  // Creates the temporary in the folder `folder_fd`, which must stay open
  // for the object's life, to become `name` (one name, no "/") with the
  // permission bits `mode` (given exactly, not masked by the umask).
  // Throws exception_io_os.
  atomic_file(int folder_fd, std::string name, mode_t mode);
  // Removes the temporary unless committed.
  ~atomic_file();
  atomic_file(const atomic_file&) = delete;
  atomic_file& operator=(const atomic_file&) = delete;

  // Appends `bytes`. Throws exception_aborted when `abort` is set (checked
  // before every MiB), exception_io_os when the system fails.
  void write(std::string_view bytes, const abort_callback& abort);

  // The modification and access time the file gets at commit; without
  // one it keeps the time of writing.
  void set_time(const timespec& time);
  // The owner the file gets at commit, where the system allows it; a
  // refusal is ignored.
  void set_owner(uid_t user, gid_t group);

  // Applies owner, mode and time, closes, and renames the temporary over
  // the final name. Throws exception_io_os, the temporary then removed.
  void commit();

 private:
  int folder_fd_;
  std::string name_;
  std::string temp_;
  mode_t mode_;
  int fd_ = -1;
  bool committed_ = false;
  bool has_time_ = false;
  timespec time_{};
  bool has_owner_ = false;
  uid_t user_ = 0;
  gid_t group_ = 0;
};
