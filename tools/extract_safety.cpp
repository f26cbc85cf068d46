#include "tools/extract_safety.h"

#include "host/host_time.h"
#include "tools/atomic_file.h"

namespace {

constexpr const char* refused_absolute = "refused: absolute member name";
constexpr const char* refused_dot_dot = "refused: member name contains '..'";
constexpr const char* refused_empty = "refused: member name names no file";
constexpr const char* refused_outside = "refused: path leads outside the target folder";

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

extractor::extractor(const std::string& folder, confined_lookup lookup)
    : root_(folder, lookup), file_mode_(creation_mode()) {}

const char* extractor::write(const member_target& target, sonovale_io::file& content,
                             uint64_t timestamp, abort_callback& abort) {
  if (target.refusal != nullptr) return target.refusal;
  size_t folders = target.is_folder ? target.segments.size() : target.segments.size() - 1;
  unique_fd folder = root_.open_folder(target.segments, folders);
  if (!folder.valid()) return refused_outside;
  if (target.is_folder) return nullptr;

  atomic_file out(folder.get(), target.segments.back(), file_mode_);
  char buffer[64 * 1024];
  for (;;) {
    uint32_t got = content.read(buffer, sizeof buffer, abort);
    out.write(std::string_view(buffer, got), abort);
    if (got < sizeof buffer) break;
  }
  if (timestamp != sonovale_io::unknown_size) out.set_time(timespec_from_timestamp(timestamp));
  out.commit();
  return nullptr;
}
