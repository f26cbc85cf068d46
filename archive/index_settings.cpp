#include "archive/index_settings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t default_budget = uint64_t{1} << 30;

bool is_set(const char* value) {
  return value != nullptr && value[0] != '\0';
}

// "123", "512K", "64M", "1G", "2T" (powers of 1024); false for anything else
// or a value past 2^64 - 1.
bool parse_size(const char* text, uint64_t& out) {
  uint64_t value = 0;
  const char* p = text;
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  int shift = 0;
  switch (*p) {
    case '\0': break;
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    case 'T': case 't': shift = 40; break;
    default: return false;
  }
  if (shift != 0 && *++p != '\0') return false;
  if (shift != 0 && value > (UINT64_MAX >> shift)) return false;
  out = value << shift;
  return true;
}

}  // namespace

index_settings parse_index_settings(const char* index, const char* size, const char* cache_home,
                                    const char* home) {
  index_settings settings;
  if (!is_set(size) || !parse_size(size, settings.budget)) settings.budget = default_budget;
  if (is_set(index) && std::strcmp(index, "memory") == 0) {
    settings.mode = index_mode::memory;
  } else if (is_set(index) && std::strcmp(index, "off") == 0) {
    settings.mode = index_mode::off;
  } else if (is_set(index)) {
    settings.mode = index_mode::disk;
    settings.folder = index;
  } else if (is_set(cache_home) && cache_home[0] == '/') {
    // A relative XDG_CACHE_HOME is invalid and ignored, as the XDG rules say.
    settings.mode = index_mode::disk;
    settings.folder = std::string(cache_home) + "/brenmoor";
  } else if (is_set(home)) {
    settings.mode = index_mode::disk;
    settings.folder = std::string(home) + "/.cache/brenmoor";
  } else {
    settings.mode = index_mode::memory;
  }
  return settings;
}

index_settings index_settings_from_environment() {
  return parse_index_settings(std::getenv("BRENMOOR_INDEX"), std::getenv("BRENMOOR_INDEX_SIZE"),
                              std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"));
}

bool make_private_folder(const std::string& folder) {
  if (folder.empty()) return false;
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
