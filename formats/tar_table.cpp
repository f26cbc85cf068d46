#include "formats/tar_table.h"

#include <cstring>

namespace {

size_t bytes_of(const tar_member& m) {
  return sizeof m + m.name.get_length() + m.legacy_name.get_length() +
         m.sparse.size() * sizeof(tar_segment);
}

}  // namespace

size_t tar_member_table::memory_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sizeof *this + bytes_;
}

bool tar_member_table::find(const char* name, tar_member& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const tar_member& m : members_) {
    if (std::strcmp(m.name.get_ptr(), name) == 0) {
      out = m;
      return true;
    }
  }
  return false;
}

bool tar_member_table::find_legacy(const char* name, tar_member& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const tar_member& m : members_) {
    if (!m.legacy_name.is_empty() && std::strcmp(m.legacy_name.get_ptr(), name) == 0) {
      out = m;
      return true;
    }
  }
  return false;
}

std::vector<tar_member> tar_member_table::members() const {
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
  members_.push_back(member);
  bytes_ += bytes_of(member);
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
