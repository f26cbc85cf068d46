#include "formats/tar/tar_member_table.h"

#include <cstring>

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
  end_ = after;
}

void tar_member_table::record_end(const tar_walk_state& before) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (before.next_header == end_.next_header) complete_ = true;
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
