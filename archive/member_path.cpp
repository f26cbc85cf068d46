#include "archive/member_path.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "abi/host_api.h"

namespace sonovale_io {

namespace {

// The short extensions of compressed TAR archives ("tgz" for ".tar.gz")
// and the archive type that reads each.
struct short_extension {
  const char* extension;
  const char* type;
};
constexpr short_extension tar_short_extensions[] = {
    {"tgz", "gz"}, {"taz", "gz"}, {"tbz", "bz2"}, {"tbz2", "bz2"}, {"tb2", "bz2"},
    {"txz", "xz"}, {"tzst", "zst"},
};

// The table's row for `extension`, or null.
const short_extension* find_short_extension(const char* extension) {
  for (const short_extension& s : tar_short_extensions) {
    if (_stricmp_utf8(extension, s.extension) == 0) return &s;
  }
  return nullptr;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a decimal number as the C library would (leading white space, an
// optional sign, digits), saturating at the signed 32-bit range.
int64_t read_length(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && is_space(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  int64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (value <= INT32_MAX) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return value;
}

}  // namespace

void make_member_path(plix::string_base& out, archive_impl& owner, const char* archive_path,
                      const char* member) {
  char digits[24];
  size_t n = std::strlen(archive_path);
  int d = sizeof digits;
  digits[--d] = 0;
  do {
    digits[--d] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  out.set_string(member_path_prefix);
  out.add_string(owner.get_type_name());
  out.add_string("|");
  out.add_string(digits + d);
  out.add_string("|");
  out.add_string(archive_path);
  out.add_string("|");
  out.add_string(member);
}

bool split_member_path(std::string_view path, std::string_view& archive_path,
                       std::string_view& member) {
  size_t first = path.find('|');
  if (first == std::string_view::npos) return false;
  size_t second = path.find('|', first + 1);
  if (second == std::string_view::npos) return false;
  // The length ends at the second "|" at the latest, which is not a digit.
  int64_t length = read_length(path.substr(first + 1, second - first - 1));
  if (length <= 0) return false;
  size_t archive = second + 1;
  // Step over the archive path without passing the text's end.
  if (path.size() - archive <= static_cast<size_t>(length)) return false;
  if (path[archive + length] != '|') return false;
  archive_path = path.substr(archive, static_cast<size_t>(length));
  member = path.substr(archive + length + 1);
  return true;
}

bool parse_member_path(const char* path, plix::string_base& archive_path,
                       plix::string_base& member) {
  std::string_view archive, name;
  if (!split_member_path(path, archive, name)) return false;
  archive_path.set_string(archive.data(), static_cast<uint32_t>(archive.size()));
  member.set_string(name.data(), static_cast<uint32_t>(name.size()));
  return true;
}

unsigned member_path_depth(const char* path) {
  std::string_view level = path;
  unsigned depth = 0;
  std::string_view archive, member;
  while (depth <= max_member_path_depth &&
         level.substr(0, member_path_prefix_length) == member_path_prefix &&
         split_member_path(level, archive, member)) {
    ++depth;
    level = archive;
  }
  return depth;
}

size_t file_name_offset(const char* path) {
  size_t offset = 0;
  for (size_t i = 0; path[i] != 0; ++i) {
    char c = path[i];
    if (c == '\\' || c == '/' || c == '|' || c == ':') offset = i + 1;
  }
  return offset;
}

char* get_file_extension(const char* path, char out[32]) {
  out[0] = 0;
  const char* name = path + file_name_offset(path);
  const char* end = name + std::strlen(name);
  const char* extension_end = end;
  const char* p = end;
  while (p > name) {
    --p;
    if (*p == '?') extension_end = p;
    if (*p == '.') {
      size_t n = static_cast<size_t>(extension_end - (p + 1));
      if (n < 32) {
        std::memcpy(out, p + 1, n);
        out[n] = 0;
      }
      break;
    }
  }
  return out;
}

plix::string8 get_file_name_without_extension(const char* path) {
  const char* name = path + file_name_offset(path);
  const char* dot = nullptr;
  for (const char* p = name; *p != 0 && *p != '?'; ++p) {
    if (*p == '.') dot = p;
  }
  if (dot != nullptr && dot != name) {
    return plix::string8(name, static_cast<uint32_t>(dot - name));
  }
  return plix::string8(name);
}

bool is_archive_extension(const char* path, const char* type) {
  char extension[32];
  get_file_extension(path, extension);
  if (extension[0] == '\0') return false;
  if (_stricmp_utf8(extension, type) == 0) return true;
  const short_extension* found = find_short_extension(extension);
  return found != nullptr && std::strcmp(found->type, type) == 0;
}

plix::string8 get_compressed_member_name(const char* path) {
  plix::string8 name = get_file_name_without_extension(path);
  char extension[32];
  if (find_short_extension(get_file_extension(path, extension)) == nullptr) return name;
  // A name that is only the extension (".tgz") has nothing to replace.
  const char* file_name = path + file_name_offset(path);
  if (std::strcspn(file_name, "?") > name.get_length()) name.add_string(".tar");
  return name;
}

}  // namespace sonovale_io
