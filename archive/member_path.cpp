#include "archive/member_path.h"

#include <cstdint>
#include <cstring>

#include "component/host_api.h"

namespace sonovale_io {

namespace {

constexpr char member_prefix[] = "unpack://";

// The short extensions of compressed TAR archives ("tgz" for ".tar.gz")
// and the archive type that reads each.
struct short_extension {
  const char* extension;
  const char* type;
};
constexpr short_extension tar_short_extensions[] = {
    {"tgz", "gz"}, {"taz", "gz"}, {"tbz", "bz2"}, {"tbz2", "bz2"}, {"tb2", "bz2"},
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
int64_t read_length(const char* p) {
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
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
  out.set_string(member_prefix);
  out.add_string(owner.get_type_name());
  out.add_string("|");
  out.add_string(digits + d);
  out.add_string("|");
  out.add_string(archive_path);
  out.add_string("|");
  out.add_string(member);
}

bool parse_member_path(const char* path, plix::string_base& archive_path,
                       plix::string_base& member) {
  const char* first = std::strchr(path, '|');
  if (first == nullptr) return false;
  int64_t length = read_length(first + 1);
  if (length <= 0) return false;
  const char* second = std::strchr(first + 1, '|');
  if (second == nullptr) return false;
  const char* archive = second + 1;
  // Step over the archive path without passing the text's end.
  if (strnlen(archive, static_cast<size_t>(length)) < static_cast<size_t>(length)) return false;
  if (archive[length] != '|') return false;
  archive_path.set_string(archive, static_cast<uint32_t>(length));
  member.set_string(archive + length + 1);
  return true;
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
