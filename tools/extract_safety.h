// Writing members under a target folder without ever writing outside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/file.h"

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

// Writes members below one folder. Each folder on the way is opened one
// segment at a time without following symbolic links blindly: a link is
// followed only when it resolves to a folder inside the target folder.
// A file is written to a temporary name beside its final one and renamed
// over it when complete, so a member that fails or is interrupted leaves
// nothing behind, and an existing symbolic link in its place is replaced,
// never followed. Not safe against other processes changing the folder
// tree while it runs.
class extractor {
 public:
  // Opens `folder`. Throws exception_io_os.
  explicit extractor(const std::string& folder);
  ~extractor();
  extractor(const extractor&) = delete;
  extractor& operator=(const extractor&) = delete;

  // Writes `content` from its current position to its end as the member
  // planned in `target`, stamped with `timestamp` (the host's form; all
  // ones leaves the time alone). Returns null when written, or the reason
  // for refusing (the path leads outside through a symbolic link). Throws
  // what reading the content or the system throws.
  const char* write(const member_target& target, sonovale_io::file& content, uint64_t timestamp,
                    abort_callback& abort);

 private:
  // Opens (creating when missing) the folders of `segments[0, count)`.
  // Returns a descriptor the caller closes, or -1 with `refusal` set.
  int open_folders(const std::vector<std::string>& segments, size_t count, const char*& refusal);

  int root_fd_;
  std::string root_real_;  // the target folder with links resolved
};
