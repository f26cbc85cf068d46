#include "formats/tar/tar_walk.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/tar/tar_pax.h"
#include "io/file_buffer.h"
#include "io/transfer.h"

using namespace sonovale_io;

namespace {

// Long names of 2^32 - 1 bytes or more cannot be held by a string.
constexpr uint64_t long_name_limit = UINT32_MAX;

// The magic and version of POSIX ustar and pax headers.
constexpr char posix_magic[8] = {'u', 's', 't', 'a', 'r', '\0', '0', '0'};

// Entries that only describe the next one (or, "g", every later one).
bool is_extension_type(uint8_t type) {
  // "X" is the extended header of writers from before pax had its letter.
  return type == 'L' || type == 'K' || type == 'x' || type == 'X' || type == 'g';
}

bool is_member_type(uint8_t type) {
  return type == '0' || type == 0 || type == '7' || type == 'S';
}

// Moves `position` past `bytes` of stored data, rounded up to whole blocks;
// an end beyond 2^64 is corrupt data.
void advance_past(uint64_t& position, uint64_t bytes) {
  uint64_t rounded = (bytes + tar_block_size - 1) & ~uint64_t{tar_block_size - 1};
  if (rounded < bytes || rounded > UINT64_MAX - position) throw exception_io_data();
  position += rounded;
}

// A key in an entry's own pax records: absent (a global value, else the
// header, counts), removed by an empty value (the header counts), or set.
enum class pax_value { absent, removed, set };

uint64_t pax_number(std::string_view value) {
  uint64_t number;
  if (!parse_pax_decimal(value, number)) throw exception_io_data();
  return number;
}

void set_string(plix::string_base& out, std::string_view value) {
  out.set_string(value.data(), static_cast<uint32_t>(value.size()));
}

}  // namespace

struct tar_reader::pending {
  bool started = false;
  uint64_t header_position = 0;
  // A long name, long link or "x" set was read: the archive may not end
  // before the entry it describes.
  bool describes_next = false;
  bool has_long_name = false;
  plix::string8 long_name;
  // Local pax records.
  pax_value path = pax_value::absent;
  plix::string8 path_text;
  pax_value size = pax_value::absent;
  uint64_t size_value = 0;
  // The GNU sparse keys.
  plix::string8 sparse_name;
  bool has_real_size = false;
  uint64_t real_size = 0;
  int64_t major = -1, minor = -1;
  bool sparse_0x = false;  // a 0.0 or 0.1 map, or a 0.x real size, was given
  bool offset_waiting = false;
  uint64_t offset = 0;
  tar_sparse_map map;

  void add_local_record(std::string_view key, std::string_view value) {
    if (key == "path") {
      path = value.empty() ? pax_value::removed : pax_value::set;
      set_string(path_text, value);
    } else if (key == "size") {
      size = value.empty() ? pax_value::removed : pax_value::set;
      if (!value.empty()) size_value = pax_number(value);
    } else if (key.substr(0, 11) != "GNU.sparse." || value.empty()) {
      // Times, owners, links and the rest do not change what is listed.
    } else if (key == "GNU.sparse.name") {
      set_string(sparse_name, value);
    } else if (key == "GNU.sparse.realsize" || key == "GNU.sparse.size") {
      has_real_size = true;
      real_size = pax_number(value);
      if (key == "GNU.sparse.size") sparse_0x = true;
    } else if (key == "GNU.sparse.major") {
      major = static_cast<int64_t>(pax_number(value));
    } else if (key == "GNU.sparse.minor") {
      minor = static_cast<int64_t>(pax_number(value));
    } else if (key == "GNU.sparse.offset") {
      if (offset_waiting) throw exception_io_data();
      offset = pax_number(value);
      offset_waiting = true;
    } else if (key == "GNU.sparse.numbytes") {
      if (!offset_waiting) throw exception_io_data();
      map.push_back({offset, pax_number(value)});
      offset_waiting = false;
      sparse_0x = true;
    } else if (key == "GNU.sparse.map") {
      add_sparse_map_list(value, map);
      sparse_0x = true;
    }
  }
};

tar_reader::tar_reader(file_ptr& archive, abort_callback& abort, const tar_walk_state& from)
    : archive_(archive), abort_(abort), timestamp_(archive->get_timestamp(abort)), state_(from) {}

bool tar_reader::read_next_header() {
  unsigned end_blocks = 0;
  // Whether the last block read may be the archive's last: an entry's, or
  // an end block of zeros only.
  bool may_end = true;
  pending p;
  for (;;) {
    uint64_t header_position = state_.next_header;
    archive_->seek(header_position, abort_);
    uint32_t got = archive_->read(header_, tar_block_size, abort_);
    if (got == 0 && header_position != 0 && may_end && !p.describes_next &&
        archive_->get_size(abort_) == header_position) {
      // The file ends where a header would start, after the last entry or
      // one end block: the archive's end, as other readers take it. Seeks
      // stop at a file's end, so the size tells this apart from an end
      // inside the last member's data; a decoded view knows its size once
      // a read has found nothing.
      return reached_end();
    }
    if (got < tar_block_size) throw exception_io_data_truncation();
    state_.next_header += tar_block_size;
    if (state_.next_header == 0) throw exception_io_data();  // the header ended at 2^64

    if (header_[tar_name_offset] == 0) {
      if (++end_blocks == 2) return reached_end();
      // Other readers take a block with bytes after its first NUL for a
      // damaged header, not for the last one.
      may_end = std::all_of(header_, header_ + tar_block_size, [](uint8_t b) { return b == 0; });
      continue;
    }
    may_end = true;
    verify_tar_checksum(header_);
    if (!p.started) {
      p.started = true;
      p.header_position = header_position;
    }

    // A negative size would move the walk backwards, and a crafted archive
    // would then loop forever: refuse it whatever the entry's type.
    int64_t size = parse_tar_number(header_ + tar_size_offset, tar_size_width);
    if (size < 0) throw exception_io_data();
    uint64_t stored = static_cast<uint64_t>(size);
    uint8_t type = header_[tar_type_offset];

    if (is_extension_type(type)) {
      uint64_t data_position = state_.next_header;
      advance_past(state_.next_header, stored);
      archive_->seek(data_position, abort_);
      read_extension(type, stored, p);
      continue;
    }

    if (p.size == pax_value::set) {
      stored = p.size_value;
    } else if (p.size == pax_value::absent && state_.has_global_size) {
      stored = state_.global_size;
    }
    if (type == 'S') {
      // The map goes on in extension blocks between the header and the data.
      member_.sparse.clear();
      bool adding = add_gnu_sparse_entries(header_ + tar_gnu_sparse_offset, tar_gnu_sparse_entries,
                                           member_.sparse);
      bool extended = header_[tar_gnu_is_extended_offset] != 0;
      uint8_t block[tar_block_size];
      while (extended) {
        archive_->read_object(block, tar_block_size, abort_);
        advance_past(state_.next_header, tar_block_size);
        if (adding)
          adding = add_gnu_sparse_entries(block, tar_gnu_extension_entries, member_.sparse);
        extended = block[tar_gnu_extension_is_extended_offset] != 0;
      }
    }
    uint64_t data_position = state_.next_header;
    advance_past(state_.next_header, stored);
    if (is_member_type(type)) {
      member_.header_position = p.header_position;
      member_.data_position = data_position;
      member_.stored_size = stored;
      make_member(type, stored, p);
      // Old writers mark directories by a trailing "/" on a NUL type.
      if (type != 0 || member_.name.is_empty() ||
          member_.name.get_ptr()[member_.name.get_length() - 1] != '/')
        return true;
    }
    p = pending();
  }
}

bool tar_reader::reached_end() const {
  if (state_.damaged) throw exception_io_data();
  return false;
}

void tar_reader::read_extension(uint8_t type, uint64_t stored, pending& p) {
  p.describes_next = p.describes_next || type != 'g';
  if (type == 'L') {
    if (stored >= long_name_limit) throw exception_io_data();
    read_string_exact(p.long_name, *archive_, static_cast<uint32_t>(stored), abort_);
    p.has_long_name = true;
    return;
  }
  if (type == 'K') return;  // a long link target: links are not members

  if (stored > tar_pax_limit) throw exception_io_data();
  pax_records_.resize(stored);
  archive_->read_object(pax_records_.data(), static_cast<uint32_t>(stored), abort_);
  // A malformed set names nothing and sets nothing: the entry keeps what
  // its header says and the walk goes on, to fail where it would have
  // ended, as other readers list on and then exit with failure. So does a
  // "g" set whose size is not a number: other readers walk on by the
  // headers' sizes there. A bad "x" size is refused at once instead: other
  // readers disagree on where that entry's data ends.
  pax_record_reader check(pax_records_);
  bool well_formed = true;
  while (check.next()) {
    uint64_t size;
    if (type == 'g' && check.key() == "size" && !check.value().empty())
      well_formed = well_formed && parse_pax_decimal(check.value(), size);
  }
  if (check.malformed() || !well_formed) {
    state_.damaged = true;
    return;
  }
  pax_record_reader reader(pax_records_);
  while (reader.next()) {
    if (type != 'g') {
      p.add_local_record(reader.key(), reader.value());
    } else if (reader.key() == "path") {
      set_string(state_.global_path, reader.value());
    } else if (reader.key() == "size") {
      state_.has_global_size = !reader.value().empty();
      if (state_.has_global_size) state_.global_size = pax_number(reader.value());
    }
  }
}

void tar_reader::make_member(uint8_t type, uint64_t stored, const pending& p) {
  const char* field = reinterpret_cast<const char*>(header_ + tar_name_offset);
  tar_member& m = member_;
  // The name without pax records and the ustar prefix, kept as the legacy
  // name when the name comes out otherwise.
  auto keep_legacy_name = [&] {
    if (p.has_long_name) {
      m.legacy_name.set_string(p.long_name.get_ptr(), p.long_name.get_length());
    } else {
      m.legacy_name.set_string(field, tar_name_width);
    }
  };
  m.legacy_name.truncate(0);
  if (!p.sparse_name.is_empty() || p.path == pax_value::set ||
      (p.path == pax_value::absent && !state_.global_path.is_empty())) {
    keep_legacy_name();
    const plix::string8& pax_name = !p.sparse_name.is_empty()  ? p.sparse_name
                                    : p.path == pax_value::set ? p.path_text
                                                               : state_.global_path;
    m.name.set_string(pax_name.get_ptr(), pax_name.get_length());
  } else if (p.has_long_name) {
    m.name.set_string(p.long_name.get_ptr(), p.long_name.get_length());
  } else if (std::memcmp(header_ + tar_magic_offset, posix_magic, sizeof posix_magic) == 0 &&
             header_[tar_prefix_offset] != 0) {
    // POSIX ustar only: GNU's own magic, "ustar  ", keeps times there.
    keep_legacy_name();
    m.name.set_string(reinterpret_cast<const char*>(header_ + tar_prefix_offset), tar_prefix_width);
    m.name.add_string("/");
    m.name.add_string(field, tar_name_width);
  } else {
    m.name.set_string(field, tar_name_width);
  }
  if (!m.legacy_name.is_empty() && std::strcmp(m.name.get_ptr(), m.legacy_name.get_ptr()) == 0)
    m.legacy_name.truncate(0);

  m.size = stored;
  if (type == 'S') {
    int64_t real_size = parse_tar_number(header_ + tar_gnu_real_size_offset, tar_number_width);
    if (real_size < 0) throw exception_io_data();
    m.size = static_cast<uint64_t>(real_size);
    check_sparse_map(m.sparse, m.size, stored);
    return;
  }
  m.sparse.clear();
  if (p.offset_waiting) throw exception_io_data();  // a 0.0 offset without its length
  if (p.major == 1 && p.minor == 0) {
    // GNU sparse 1.0 keeps the map at the start of the stored data.
    archive_->seek(m.data_position, abort_);
    uint64_t map_bytes = read_sparse_map_blocks(*archive_, stored, m.sparse, abort_);
    m.data_position += map_bytes;
    m.stored_size -= map_bytes;
  } else if (!p.sparse_0x) {
    return;
  } else {
    m.sparse = p.map;
  }
  m.size = p.has_real_size ? p.real_size : m.stored_size;
  check_sparse_map(m.sparse, m.size, m.stored_size);
}

file_ptr tar_reader::extract_member(const tar_member& record) {
  uint64_t archive_size = archive_->get_size(abort_);
  bool size_known = archive_size != unknown_size;
  if (size_known &&
      record.stored_size > archive_size - std::min(archive_size, record.data_position))
    throw exception_io_data_truncation();
  archive_->seek(record.data_position, abort_);
  if (!record.sparse.empty()) {
    service_ptr_t<file_buffer> member = new service_impl_t<file_buffer>(record.size, timestamp_);
    place_sparse_segments(*archive_, record.sparse, member->content(), abort_);
    return file_ptr(member.get_ptr());
  }
  service_ptr_t<file_buffer> member = new service_impl_t<file_buffer>(0, timestamp_);
  // Read straight into the member's storage, which spares a scratch buffer
  // and a copy of every byte. An archive of unknown size (a stream, or a
  // decoded view before its end is known) may not hold what the header
  // claims: the storage then follows the bytes read.
  read_exact_into_file(*archive_, *member, record.size, size_known, abort_);
  member->reopen(abort_);
  return file_ptr(member.get_ptr());
}
