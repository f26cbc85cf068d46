// The TAR archive service on arbitrary bytes.
//
// A small walker written here from the documented header rules (checksum
// taken unsigned or signed, octal / base-64 / base-256 numbers, "L" long
// names, two zero-first blocks ending the walk, negative sizes refused)
// says which members an archive holds, where their data lies and how the
// walk ends. The service must agree: listing without readers reports those
// members and ends the same way; listing with readers also hands out each
// member's bytes and stops with a truncation at the first member whose data
// runs past the end; statistics, opening through the service and opening
// through the host's path dispatch give the first member of each name with
// the same bytes.
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "formats/tar.h"
#include "fuzz/fuzz_host.h"
#include "io/filesystem.h"

using namespace sonovale_io;

namespace {

constexpr char archive_path[] = "fuzz://input.tar";

enum class ending { ok, data, truncation };

struct ref_member {
  std::string name;
  uint64_t size;
  uint64_t offset;
};

int64_t ref_number(const uint8_t* field, size_t width) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t i = field[0] == 0 ? 1 : 0;
  while (i < width && field[i] == ' ') ++i;
  if (i == width) return -1;
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

ending ref_walk(const uint8_t* data, uint64_t size, std::vector<ref_member>& out) {
  uint64_t pos = 0;
  for (;;) {
    int zero_blocks = 0;
    bool pending = false;
    std::string long_name;
    for (;;) {
      if (pos > size || size - pos < 512) return ending::truncation;
      const uint8_t* h = data + pos;
      pos += 512;
      if (h[0] == 0) {
        if (++zero_blocks == 2) return ending::ok;
        continue;
      }
      if (!ref_checksum_ok(h)) return ending::data;
      std::string name = pending ? long_name
                                 : std::string(reinterpret_cast<const char*>(h),
                                               strnlen(reinterpret_cast<const char*>(h), 100));
      pending = false;
      int64_t signed_size = ref_number(h + 124, 12);
      if (signed_size < 0) return ending::data;
      uint64_t member_size = static_cast<uint64_t>(signed_size);
      uint64_t rounded = (member_size + 511) / 512 * 512;
      if (member_size > UINT64_MAX - 511 || rounded > UINT64_MAX - pos) return ending::data;
      uint64_t offset = pos;
      pos += rounded;
      if (h[156] == '0' || h[156] == 0) {
        out.push_back({name, member_size, offset});
        break;
      }
      if (h[156] == 'L') {
        if (member_size >= UINT32_MAX) return ending::data;
        if (offset > size || size - offset < member_size) return ending::truncation;
        const char* text = reinterpret_cast<const char*>(data + offset);
        long_name.assign(text, strnlen(text, member_size));
        pending = true;
      }
    }
  }
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
  return m.offset <= size && size - m.offset >= m.size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Loading the module fills the number parser's table; here nothing loads it.
  static const bool table_filled = (tar_fill_base64_table(), true);
  (void)table_filled;
  std::vector<ref_member> members;
  ending walk = ref_walk(data, size, members);

  static service_impl_single_t<archive_tar> archive;
  fuzz::host host({&archive});
  host.set_input(data, size);
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
  while (whole < members.size() && fits(members[whole], size)) ++whole;
  {
    fuzz::recording_callback listing;
    file_ptr opened = host.input().open_input(abort);
    expect_ending(whole < members.size() ? ending::truncation : walk,
                  [&] { archive.list_members(archive_path, opened, listing, true); });
    FUZZ_REQUIRE(listing.members.size() == whole);
    for (size_t i = 0; i < whole; ++i) {
      FUZZ_REQUIRE(listing.members[i].path == member_path(members[i].name));
      FUZZ_REQUIRE(listing.members[i].has_reader);
      FUZZ_REQUIRE(
          listing.members[i].content ==
          std::string(reinterpret_cast<const char*>(data + members[i].offset), members[i].size));
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
    file_ptr out;
    expect_ending(fits(m, size) ? ending::ok : ending::truncation,
                  [&] { archive.open_member(out, archive_path, m.name.c_str(), abort); });
    if (!fits(m, size)) continue;
    FUZZ_REQUIRE(out->get_position(abort) == 0);
    FUZZ_REQUIRE(out->get_size(abort) == m.size);
    FUZZ_REQUIRE(fuzz::read_rest(*out) ==
                 std::string(reinterpret_cast<const char*>(data + m.offset), m.size));
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
  for (const ref_member& m : members) listed = listed || m.name == absent;
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
