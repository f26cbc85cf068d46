// The member table of a TAR read through a decoded view: the members in
// walk order as far as any walk got, kept in the content index entry of
// the compressed file, so that later operations on the same file find a
// member without walking and later walks resume where earlier ones stopped.
#pragma once

#include <mutex>
#include <vector>

#include "archive/content_index.h"
#include "formats/tar.h"

// Safe to use from any thread; every answer is a copy.
class tar_member_table final : public sonovale_io::content_attachment {
 public:
  size_t memory_bytes() const override;

  // Copies the first recorded member named `name` into `out`; false when
  // no recorded member has that name.
  bool find(const char* name, tar_member& out) const;
  // As find, for the first member whose legacy name (the naming that stored
  // member paths may carry) is `name`.
  bool find_legacy(const char* name, tar_member& out) const;
  // The recorded members, in walk order.
  std::vector<tar_member> members() const;

  // The walk's place after the last recorded member: where a walk that
  // adds to the table starts.
  tar_walk_state end() const;
  // True once a walk met the end blocks after the last recorded member.
  bool complete() const;

  // Records `member`, which a walk standing at `before` found, leaving it at
  // `after`. Ignored unless `before` is the table's end: another walk that
  // got there first recorded it already.
  void record(const tar_walk_state& before, const tar_member& member, const tar_walk_state& after);
  // Records that a walk standing at `before` met the end blocks.
  void record_end(const tar_walk_state& before);

 private:
  mutable std::mutex mutex_;
  std::vector<tar_member> members_;
  tar_walk_state end_;
  bool complete_ = false;
  size_t bytes_ = 0;
};

// Moves `walker` to its next member as read_next_header does, recording
// what it meets in `table` when there is one.
bool read_next_recorded(tar_reader& walker, tar_member_table* table);
