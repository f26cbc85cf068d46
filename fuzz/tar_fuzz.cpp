// The TAR archive service on arbitrary bytes.
//
// A small walker written here from the documented header rules (checksum
// taken unsigned or signed, octal / base-64 / base-256 numbers, "L" long
// names, pax "x" and "g" records, the ustar prefix, old GNU and pax GNU
// sparse maps, two zero-first blocks or the input's end where a header
// would start ending the walk, malformed pax record sets ignored and
// failing the walk at its end, negative sizes refused) says which members
// an archive holds, where their data lies and how the walk ends. The
// service must agree: listing without readers reports those members and
// ends the same way; listing with readers also hands out each member's
// bytes (a sparse member's segments placed among zeros) and stops with a
// truncation at the first member whose data runs past the end; statistics,
// opening through the service and opening through the host's path dispatch
// give the first member of each name with the same bytes. Sparse members
// larger than 16 MiB are measured, not made.
#include <algorithm>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "formats/tar/tar_archive.h"
#include "fuzz/fuzz_host.h"
#include "io/filesystem.h"

using namespace sonovale_io;

namespace {

constexpr char archive_path[] = "fuzz://input.tar";

enum class ending { ok, data, truncation };

// How a reference walk step fails.
struct ref_failure {
  ending how;
};
[[noreturn]] void fail(ending how) {
  throw ref_failure{how};
}

using ref_map = std::vector<std::pair<uint64_t, uint64_t>>;

struct ref_member {
  std::string name;
  std::string legacy_name;  // the long name, else the name field
  uint64_t size;
  uint64_t offset;  // of the stored data
  uint64_t stored;
  bool sparse;
  ref_map segments;
};

int64_t ref_number(const uint8_t* field, size_t width) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t i = field[0] == 0 ? 1 : 0;
  while (i < width && field[i] == ' ') ++i;
  if (i == width) return 0;
  uint64_t v = 0;
  uint8_t c = field[i];
  if (c >= '0' && c <= '7') {
    for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) v = v * 8 + (field[i] - '0');
  } else if (c == '+' || c == '-') {
    for (++i; i < width && field[i] != 0; ++i) {
      const char* at = std::strchr(digits, field[i]);
      if (at == nullptr) break;
      v = v * 64 + static_cast<uint64_t>(at - digits);
    }
    if (c == '-') v = 0 - v;
  } else if (c == 0x80 || c == 0xFF) {
    v = c == 0x80 ? 0 : UINT64_MAX;
    for (++i; i < width; ++i) v = v * 256 + field[i];
  }
  return static_cast<int64_t>(v);
}

bool ref_checksum_ok(const uint8_t* h) {
  int64_t unsigned_sum = 256, signed_sum = 256;
  for (size_t i = 0; i < 512; ++i) {
    if (i >= 148 && i < 156) continue;
    unsigned_sum += h[i];
    signed_sum += static_cast<int8_t>(h[i]);
  }
  int64_t stored = ref_number(h + 148, 8);
  return stored == unsigned_sum || stored == signed_sum;
}

std::string c_string(const std::string& s) {
  return s.substr(0, s.find('\0'));
}

std::string c_string(const uint8_t* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p),
                     strnlen(reinterpret_cast<const char*>(p), n));
}

uint64_t ref_decimal(const std::string& s) {
  if (s.empty()) fail(ending::data);
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') fail(ending::data);
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (uint64_t{INT64_MAX} - digit) / 10) fail(ending::data);
    v = v * 10 + digit;
  }
  return v;
}

using ref_record_set = std::vector<std::pair<std::string, std::string>>;

// Splits a pax record set as the format describes it; false when a record
// is malformed.
bool ref_records(const std::string& set, ref_record_set& out) {
  size_t pos = 0;
  while (pos < set.size() && set[pos] != 0) {
    size_t digits = 0;
    while (pos + digits < set.size() && set[pos + digits] >= '0' && set[pos + digits] <= '9')
      ++digits;
    if (digits == 0 || pos + digits == set.size() || set[pos + digits] != ' ') return false;
    uint64_t length = 0;
    for (size_t i = 0; i < digits; ++i) {
      length = length * 10 + static_cast<uint64_t>(set[pos + i] - '0');
      if (length > set.size()) return false;
    }
    if (length > set.size() - pos || length < digits + 3) return false;
    std::string text = set.substr(pos + digits + 1, length - digits - 1);
    size_t equals = text.find('=');
    if (equals == std::string::npos || text.back() != '\n') return false;
    out.emplace_back(text.substr(0, equals), text.substr(equals + 1, text.size() - equals - 2));
    pos += length;
  }
  return true;
}

bool ref_is_decimal(const std::string& s) {
  try {
    ref_decimal(s);
    return true;
  } catch (const ref_failure&) {
    return false;
  }
}

ref_map ref_checked(ref_map map, uint64_t size, uint64_t stored) {
  uint64_t end = 0, used = 0;
  for (const auto& [offset, length] : map) {
    if (offset < end || length > size || offset > size - length || length > stored - used)
      fail(ending::data);
    end = offset + length;
    used += length;
  }
  if (map.empty()) map.emplace_back(size, 0);
  return map;
}

// The walk, written from the format's rules independently of the reader.
class ref_walk {
 public:
  ref_walk(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

  ending run(std::vector<ref_member>& out) {
    try {
      ref_member m;
      while (next(m)) out.push_back(m);
      return ending::ok;
    } catch (const ref_failure& f) {
      return f.how;
    }
  }

 private:
  struct pending {
    bool has_long = false;
    std::string long_name;
    int path = 0;  // 0 absent, 1 removed, 2 set
    std::string path_text;
    int size = 0;
    uint64_t size_value = 0;
    std::string sparse_name;
    bool has_real = false;
    uint64_t real = 0;
    int64_t major = -1, minor = -1;
    bool sparse = false;
    bool waiting = false;
    uint64_t offset = 0;
    ref_map map;
    bool describes = false;  // an extension for the next entry was read
  };

  bool end() const {
    if (damaged_) fail(ending::data);
    return false;
  }

  const uint8_t* block() {
    if (pos_ > size_ || size_ - pos_ < 512) fail(ending::truncation);
    const uint8_t* h = data_ + pos_;
    pos_ += 512;
    return h;
  }
  void skip(uint64_t n) {
    uint64_t rounded = (n + 511) / 512 * 512;
    if (n > UINT64_MAX - 511 || rounded > UINT64_MAX - pos_) fail(ending::data);
    pos_ += rounded;
  }
  std::string bytes_at(uint64_t at, uint64_t n) {
    if (at > size_ || size_ - at < n) fail(ending::truncation);
    return std::string(reinterpret_cast<const char*>(data_ + at), n);
  }

  static bool gnu_entries(const uint8_t* entries, int count, ref_map& map) {
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = entries + 24 * i;
      if (e[12] == 0) return false;
      int64_t offset = ref_number(e, 12), length = ref_number(e + 12, 12);
      if (offset < 0 || length < 0) fail(ending::data);
      map.emplace_back(offset, length);
    }
    return true;
  }

  static void local(pending& p, const std::string& key, const std::string& value) {
    if (key == "path") {
      p.path = value.empty() ? 1 : 2;
      p.path_text = c_string(value);
    } else if (key == "size") {
      p.size = value.empty() ? 1 : 2;
      if (!value.empty()) p.size_value = ref_decimal(value);
    } else if (key.compare(0, 11, "GNU.sparse.") != 0 || value.empty()) {
    } else if (key == "GNU.sparse.name") {
      p.sparse_name = c_string(value);
    } else if (key == "GNU.sparse.realsize" || key == "GNU.sparse.size") {
      p.has_real = true;
      p.real = ref_decimal(value);
      if (key == "GNU.sparse.size") p.sparse = true;
    } else if (key == "GNU.sparse.major") {
      p.major = static_cast<int64_t>(ref_decimal(value));
    } else if (key == "GNU.sparse.minor") {
      p.minor = static_cast<int64_t>(ref_decimal(value));
    } else if (key == "GNU.sparse.offset") {
      if (p.waiting) fail(ending::data);
      p.offset = ref_decimal(value);
      p.waiting = true;
    } else if (key == "GNU.sparse.numbytes") {
      if (!p.waiting) fail(ending::data);
      p.map.emplace_back(p.offset, ref_decimal(value));
      p.waiting = false;
      p.sparse = true;
    } else if (key == "GNU.sparse.map") {
      std::vector<uint64_t> numbers;
      size_t from = 0;
      for (;;) {
        size_t comma = value.find(',', from);
        numbers.push_back(ref_decimal(value.substr(from, comma - from)));
        if (comma == std::string::npos) break;
        from = comma + 1;
      }
      if (numbers.size() % 2 != 0) fail(ending::data);
      for (size_t i = 0; i < numbers.size(); i += 2) p.map.emplace_back(numbers[i], numbers[i + 1]);
      p.sparse = true;
    }
  }

  bool next(ref_member& m) {
    int zeros = 0;
    bool may_end = true;  // the last block read was an entry's or all zeros
    pending p;
    for (;;) {
      if (pos_ == size_ && pos_ != 0 && may_end && !p.describes) return end();
      const uint8_t* h = block();
      if (h[0] == 0) {
        if (++zeros == 2) return end();
        may_end = std::count(h, h + 512, 0) == 512;
        continue;
      }
      may_end = true;
      if (!ref_checksum_ok(h)) fail(ending::data);
      int64_t signed_size = ref_number(h + 124, 12);
      if (signed_size < 0) fail(ending::data);
      uint64_t size = static_cast<uint64_t>(signed_size);
      uint8_t type = h[156];
      if (std::strchr("LKxXg", type) != nullptr && type != 0) {
        uint64_t start = pos_;
        skip(size);
        p.describes = p.describes || type != 'g';
        if (type == 'L') {
          if (size >= UINT32_MAX) fail(ending::data);
          p.long_name = c_string(bytes_at(start, size));
          p.has_long = true;
        } else if (type != 'K') {
          if (size > (1 << 20)) fail(ending::data);
          ref_record_set records;
          bool well_formed = ref_records(bytes_at(start, size), records);
          for (const auto& [key, value] : records) {
            if (type == 'g' && key == "size" && !value.empty() && !ref_is_decimal(value))
              well_formed = false;
          }
          if (!well_formed) {
            damaged_ = true;
            records.clear();
          }
          for (const auto& [key, value] : records) {
            if (type != 'g') {
              local(p, key, value);
            } else if (key == "path") {
              global_path_ = c_string(value);
            } else if (key == "size") {
              has_global_size_ = !value.empty();
              if (has_global_size_) global_size_ = ref_decimal(value);
            }
          }
        }
        continue;
      }
      uint64_t stored = size;
      if (p.size == 2) {
        stored = p.size_value;
      } else if (p.size == 0 && has_global_size_) {
        stored = global_size_;
      }
      ref_map segments;
      if (type == 'S') {
        bool adding = gnu_entries(h + 386, 4, segments);
        bool extended = h[482] != 0;
        while (extended) {
          const uint8_t* b = block();
          if (adding) adding = gnu_entries(b, 21, segments);
          extended = b[504] != 0;
        }
      }
      uint64_t start = pos_;
      skip(stored);
      if (type == '0' || type == 0 || type == '7' || type == 'S') {
        member(type, h, p, start, stored, segments, m);
        if (type != 0 || m.name.empty() || m.name.back() != '/') return true;
      }
      p = pending();
    }
  }

  void member(uint8_t type, const uint8_t* h, const pending& p, uint64_t start, uint64_t stored,
              ref_map& segments, ref_member& m) {
    std::string field = c_string(h, 100);
    m.legacy_name = p.has_long ? p.long_name : field;
    if (!p.sparse_name.empty()) {
      m.name = p.sparse_name;
    } else if (p.path == 2) {
      m.name = p.path_text;
    } else if (p.path == 0 && !global_path_.empty()) {
      m.name = global_path_;
    } else if (p.has_long) {
      m.name = p.long_name;
    } else if (std::memcmp(h + 257,
                           "ustar\0"
                           "00",
                           8) == 0 &&
               h[345] != 0) {
      m.name = c_string(h + 345, 155) + "/" + field;
    } else {
      m.name = field;
    }
    m.offset = start;
    m.stored = stored;
    m.sparse = true;
    if (type == 'S') {
      int64_t real = ref_number(h + 483, 12);
      if (real < 0) fail(ending::data);
      m.size = static_cast<uint64_t>(real);
      m.segments = ref_checked(segments, m.size, stored);
      return;
    }
    if (p.waiting) fail(ending::data);
    if (p.major == 1 && p.minor == 0) {
      std::string text;
      size_t at = 0;
      auto line = [&] {
        size_t begin = at;
        for (;; ++at) {
          if (at == text.size()) {
            if (text.size() + 512 > stored || text.size() + 512 > (1 << 20)) fail(ending::data);
            text += bytes_at(start + text.size(), 512);
          }
          if (text[at] == '\n') break;
          if (text[at] < '0' || text[at] > '9') fail(ending::data);
        }
        uint64_t value = ref_decimal(text.substr(begin, at - begin));
        ++at;
        return value;
      };
      segments.clear();
      uint64_t count = line();
      for (uint64_t i = 0; i < count; ++i) {
        uint64_t offset = line();
        segments.emplace_back(offset, line());
      }
      m.offset += text.size();
      m.stored -= text.size();
    } else if (p.sparse) {
      segments = p.map;
    } else {
      m.size = stored;
      m.sparse = false;
      m.segments.clear();
      return;
    }
    m.size = p.has_real ? p.real : m.stored;
    m.segments = ref_checked(segments, m.size, m.stored);
  }

  const uint8_t* data_;
  uint64_t size_;
  uint64_t pos_ = 0;
  std::string global_path_;
  bool has_global_size_ = false;
  uint64_t global_size_ = 0;
  bool damaged_ = false;
};

// The content a member must have.
std::string ref_content(const uint8_t* data, const ref_member& m) {
  const char* stored = reinterpret_cast<const char*>(data + m.offset);
  if (!m.sparse) return std::string(stored, m.size);
  std::string out(m.size, '\0');
  for (const auto& [offset, length] : m.segments) {
    out.replace(offset, length, stored, length);
    stored += length;
  }
  return out;
}

// Runs `statement` and checks that it ends as `expected` says.
template <typename F>
void expect_ending(ending expected, F statement) {
  try {
    statement();
  } catch (const exception_io_data& e) {
    FUZZ_REQUIRE(expected != ending::ok);
    FUZZ_REQUIRE(typeid(e) == (expected == ending::data ? typeid(exception_io_data)
                                                        : typeid(exception_io_data_truncation)));
    FUZZ_REQUIRE(std::strcmp(e.what(), "Unsupported format or corrupted file") == 0);
    return;
  }
  FUZZ_REQUIRE(expected == ending::ok);
}

std::string member_path(const std::string& name) {
  return "unpack://tar|" + std::to_string(std::strlen(archive_path)) + "|" + archive_path + "|" +
         name;
}

bool fits(const ref_member& m, size_t size) {
  return m.offset <= size && size - m.offset >= m.stored;
}

// Sparse members may be far larger than the input; those are not made.
constexpr uint64_t largest_made = 1 << 24;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<ref_member> members;
  ending walk = ref_walk(data, size).run(members);

  static service_impl_single_t<archive_tar> archive;
  fuzz::host host({&archive}, data, size);
  abort_callback_dummy abort;
  const uint64_t timestamp = host.input().timestamp;

  // Without readers: every member, and the walk's own ending.
  {
    fuzz::recording_callback listing;
    file_ptr none;
    expect_ending(walk, [&] { archive.list_members(archive_path, none, listing, false); });
    FUZZ_REQUIRE(listing.members.size() == members.size());
    for (size_t i = 0; i < members.size(); ++i) {
      FUZZ_REQUIRE(listing.members[i].path == member_path(members[i].name));
      FUZZ_REQUIRE(listing.members[i].stats.size == members[i].size);
      FUZZ_REQUIRE(listing.members[i].stats.timestamp == timestamp);
      FUZZ_REQUIRE(!listing.members[i].has_reader);
    }
  }

  // With readers, from an archive the caller opened: members up to the
  // first whose data is cut short, each with its bytes.
  size_t whole = 0;
  bool small = true;
  for (; whole < members.size() && fits(members[whole], size); ++whole)
    small = small && members[whole].size <= largest_made;
  if (small) {
    fuzz::recording_callback listing;
    file_ptr opened = host.input().open_input(abort);
    expect_ending(whole < members.size() ? ending::truncation : walk,
                  [&] { archive.list_members(archive_path, opened, listing, true); });
    FUZZ_REQUIRE(listing.members.size() == whole);
    for (size_t i = 0; i < whole; ++i) {
      FUZZ_REQUIRE(listing.members[i].path == member_path(members[i].name));
      FUZZ_REQUIRE(listing.members[i].has_reader);
      FUZZ_REQUIRE(listing.members[i].content == ref_content(data, members[i]));
    }
  }

  // A callback that declines goes no further.
  if (!members.empty()) {
    fuzz::recording_callback listing;
    listing.limit = 1;
    file_ptr none;
    archive.list_members(archive_path, none, listing, false);
    FUZZ_REQUIRE(listing.members.size() == 1);
  }

  // Opening and statistics find the first member of each name.
  for (size_t i = 0; i < members.size(); ++i) {
    const ref_member& m = members[i];
    bool first = true;
    for (size_t j = 0; j < i; ++j) first = first && members[j].name != m.name;
    if (!first) continue;
    file_stats stats = archive.get_member_stats(archive_path, m.name.c_str(), abort);
    FUZZ_REQUIRE(stats.size == m.size && stats.timestamp == timestamp);
    if (m.size > largest_made) continue;
    file_ptr out;
    expect_ending(fits(m, size) ? ending::ok : ending::truncation,
                  [&] { archive.open_member(out, archive_path, m.name.c_str(), abort); });
    if (!fits(m, size)) continue;
    FUZZ_REQUIRE(out->get_position(abort) == 0);
    FUZZ_REQUIRE(out->get_size(abort) == m.size);
    FUZZ_REQUIRE(fuzz::read_rest(*out) == ref_content(data, m));
    if (i == 0) {
      // The same member through the host's dispatch of its member path.
      file_ptr dispatched;
      filesystem::g_open(dispatched, member_path(m.name).c_str(), open_mode_read, abort);
      out->reopen(abort);
      FUZZ_REQUIRE(fuzz::read_rest(*dispatched) == fuzz::read_rest(*out));
    }
  }

  // A name no member has is not found, once the walk has ended cleanly.
  const char absent[] =
      "\x7f"
      "absent";
  bool listed = false;
  for (const ref_member& m : members)
    listed = listed || m.name == absent || m.legacy_name == absent;
  if (!listed) {
    file_ptr out;
    try {
      archive.open_member(out, archive_path, absent, abort);
      std::abort();
    } catch (const exception_io_not_found&) {
      FUZZ_REQUIRE(walk == ending::ok);
    } catch (const exception_io_data&) {
      FUZZ_REQUIRE(walk != ending::ok);
    }
  }
  return 0;
}
