#include "formats/tar/tar_member_table.h"

#include <cstring>
#include <string_view>

#include "io/little_endian.h"

namespace {

size_t bytes_of(const tar_recorded_member& r) {
  const tar_member& m = r.member;
  return sizeof r + m.name.get_length() + m.legacy_name.get_length() +
         m.sparse.size() * sizeof(tar_segment) + r.before.global_path.get_length();
}

bool same_sparse_map(const tar_sparse_map& a, const tar_sparse_map& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].offset != b[i].offset || a[i].length != b[i].length) return false;
  }
  return true;
}

bool same_member(const tar_member& a, const tar_member& b) {
  return std::strcmp(a.name.get_ptr(), b.name.get_ptr()) == 0 &&
         std::strcmp(a.legacy_name.get_ptr(), b.legacy_name.get_ptr()) == 0 &&
         a.header_position == b.header_position && a.data_position == b.data_position &&
         a.size == b.size && a.stored_size == b.stored_size && same_sparse_map(a.sparse, b.sparse);
}

}  // namespace

// The serialized form, little-endian throughout: "BMT1", the complete flag
// (1 byte), the end state, the row count (4 bytes), then each row's walk
// state and member. A state is the next header (8), the global path (4-byte
// length, bytes), the global size flag (1) and size (8), and the damaged
// flag (1). A member is its
// name and legacy name (each a 4-byte length and bytes), header position,
// data position, size and stored size (8 each), and its sparse map (a
// 4-byte count, then offset and length, 8 each).
namespace {

// "BMT1", read little-endian.
constexpr uint64_t table_magic = 0x31544D42;

void put_text(std::vector<uint8_t>& out, const char* text, size_t length) {
  append_le(out, length, 4);
  out.insert(out.end(), text, text + length);
}

void put_state(std::vector<uint8_t>& out, const tar_walk_state& state) {
  append_le(out, state.next_header, 8);
  put_text(out, state.global_path.get_ptr(), state.global_path.get_length());
  append_le(out, state.has_global_size ? 1 : 0, 1);
  append_le(out, state.global_size, 8);
  append_le(out, state.damaged ? 1 : 0, 1);
}

void put_member(std::vector<uint8_t>& out, const tar_member& m) {
  put_text(out, m.name.get_ptr(), m.name.get_length());
  put_text(out, m.legacy_name.get_ptr(), m.legacy_name.get_length());
  for (uint64_t v : {m.header_position, m.data_position, m.size, m.stored_size})
    append_le(out, v, 8);
  append_le(out, m.sparse.size(), 4);
  for (const tar_segment& segment : m.sparse) {
    append_le(out, segment.offset, 8);
    append_le(out, segment.length, 8);
  }
}

// Reads serialize's form, refusing anything that runs past its end.
class table_reader {
 public:
  explicit table_reader(const std::vector<uint8_t>& bytes) : p_(bytes.data()), left_(bytes.size()) {}

  bool number(uint64_t& out, int bytes) {
    if (left_ < static_cast<size_t>(bytes)) return false;
    out = load_le(p_, bytes);
    p_ += bytes;
    left_ -= static_cast<size_t>(bytes);
    return true;
  }
  bool text(plix::string_base& out) {
    uint64_t length;
    if (!number(length, 4) || length > left_) return false;
    out.set_string(reinterpret_cast<const char*>(p_), static_cast<uint32_t>(length));
    p_ += length;
    left_ -= static_cast<size_t>(length);
    return true;
  }
  bool state(tar_walk_state& out) {
    uint64_t sized, damaged;
    if (!number(out.next_header, 8) || !text(out.global_path) || !number(sized, 1) || sized > 1 ||
        !number(out.global_size, 8) || !number(damaged, 1) || damaged > 1) {
      return false;
    }
    out.has_global_size = sized == 1;
    out.damaged = damaged == 1;
    return true;
  }
  bool member(tar_member& out) {
    uint64_t count;
    if (!text(out.name) || !text(out.legacy_name) || !number(out.header_position, 8) ||
        !number(out.data_position, 8) || !number(out.size, 8) || !number(out.stored_size, 8) ||
        !number(count, 4) || count > left_ / 16) {
      return false;
    }
    out.sparse.resize(static_cast<size_t>(count));
    for (tar_segment& segment : out.sparse) {
      if (!number(segment.offset, 8) || !number(segment.length, 8)) return false;
    }
    return true;
  }
  bool magic() {
    uint64_t found;
    return number(found, 4) && found == table_magic;
  }
  bool at_end() const { return left_ == 0; }
  size_t left() const { return left_; }

 private:
  const uint8_t* p_;
  size_t left_;
};

}  // namespace

uint64_t tar_member_table::version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

std::vector<uint8_t> tar_member_table::serialize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> out;
  out.reserve(bytes_ + 64);
  append_le(out, table_magic, 4);
  append_le(out, complete_ ? 1 : 0, 1);
  put_state(out, end_);
  append_le(out, members_.size(), 4);
  for (const tar_recorded_member& r : members_) {
    put_state(out, r.before);
    put_member(out, r.member);
  }
  return out;
}

bool tar_member_table::restore(const std::vector<uint8_t>& stored) {
  std::vector<tar_recorded_member> rows;
  tar_walk_state end;
  uint64_t complete = 0, count = 0;
  table_reader in(stored);
  if (!in.magic() || !in.number(complete, 1) || complete > 1 || !in.state(end) ||
      !in.number(count, 4)) {
    return false;
  }
  // Every row takes at least 66 bytes: no count the bytes cannot hold.
  if (count > in.left() / 66) return false;
  rows.resize(static_cast<size_t>(count));
  for (tar_recorded_member& r : rows) {
    if (!in.state(r.before) || !in.member(r.member)) return false;
  }
  if (!in.at_end()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!members_.empty() || complete_) return false;
  members_ = std::move(rows);
  for (const tar_recorded_member& r : members_) bytes_ += bytes_of(r);
  end_ = std::move(end);
  complete_ = complete == 1;
  restored_ = true;
  return true;
}

bool tar_member_table::restored() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return restored_;
}

size_t tar_member_table::memory_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sizeof *this + bytes_;
}

bool tar_member_table::find(const char* name, tar_recorded_member& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const tar_recorded_member& r : members_) {
    if (std::strcmp(r.member.name.get_ptr(), name) == 0) {
      out = r;
      return true;
    }
  }
  return false;
}

bool tar_member_table::find_legacy(const char* name, tar_recorded_member& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const tar_recorded_member& r : members_) {
    const tar_member& m = r.member;
    if (!m.legacy_name.is_empty() && std::strcmp(m.legacy_name.get_ptr(), name) == 0) {
      out = r;
      return true;
    }
  }
  return false;
}

std::vector<tar_recorded_member> tar_member_table::members() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return members_;
}

tar_walk_state tar_member_table::end() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return end_;
}

bool tar_member_table::complete() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return complete_;
}

void tar_member_table::record(const tar_walk_state& before, const tar_member& member,
                              const tar_walk_state& after) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (complete_ || before.next_header != end_.next_header) return;
  members_.push_back({before, member});
  bytes_ += bytes_of(members_.back());
  ++version_;
  end_ = after;
}

void tar_member_table::record_end(const tar_walk_state& before) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (before.next_header == end_.next_header && !complete_) {
    complete_ = true;
    ++version_;
  }
}

bool read_next_recorded(tar_reader& walker, tar_member_table* table) {
  if (table == nullptr) return walker.read_next_header();
  tar_walk_state before = walker.state();
  bool more = walker.read_next_header();
  if (more) {
    table->record(before, walker.member(), walker.state());
  } else {
    table->record_end(before);
  }
  return more;
}

bool tar_recorded_member_still_there(sonovale_io::file_ptr& archive,
                                     const tar_recorded_member& recorded, abort_callback& abort) {
  try {
    tar_reader walker(archive, abort, recorded.before);
    return walker.read_next_header() && same_member(walker.member(), recorded.member);
  } catch (const sonovale_io::exception_io_data&) {
    return false;
  }
}
