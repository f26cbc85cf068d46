// Writing members under a target folder without ever writing outside it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/file.h"
#include "tools/confined_root.h"

// Where a member goes below the target folder, or why it may not go there.
struct member_target {
  std::vector<std::string> segments;  // folders, then the file's own name
  bool is_folder = false;             // the name ended in "/"
  const char* refusal = nullptr;      // set when the member is refused
};

// Checks a member name: absolute names and ".." segments are refused, as is
// a name that names nothing ("", ".", "./"); empty and "." segments are
// dropped. A trailing "/" marks a folder.
member_target plan_member(std::string_view name);

// Writes members below one folder. The folders on the way are opened
// through confined_root: a symbolic link is followed only while it stays
// inside the target folder, and nothing another process does to the tree
// meanwhile can lead a write outside it. A file is written through
// atomic_file, so a member that fails or is interrupted leaves nothing
// behind, and an existing symbolic link in its place is replaced, never
// followed. New files get 0666 less the umask.
class extractor {
 public:
  // Opens `folder`. Throws exception_io_os.
  explicit extractor(const std::string& folder,
                     confined_lookup lookup = confined_lookup::automatic);

  // Writes `content` from its current position to its end as the member
  // planned in `target`, stamped with `timestamp` (the host's form; all
  // ones leaves the time alone). Returns null when written, or the reason
  // for refusing (the path leads outside through a symbolic link). Throws
  // exception_aborted when `abort` is set, and what reading the content or
  // the system throws.
  const char* write(const member_target& target, sonovale_io::file& content, uint64_t timestamp,
                    abort_callback& abort);

 private:
  confined_root root_;
  mode_t file_mode_;
};
