// The member table of a TAR read through a decoded view: the members in
// walk order as far as any walk got, kept in the content index entry of
// the compressed file, so that later operations on the same file find a
// member without walking and later walks resume where earlier ones stopped.
// A row is what an earlier walk found: before its bytes are served, the
// entry it points to is read again and must still be that member
// (tar_recorded_member_still_there).
#pragma once

#include <mutex>
#include <vector>

#include "archive/content_index.h"
#include "formats/tar/tar_walk.h"

// A member as a walk recorded it, with the walk's place before its entry,
// from where a walk finds it again.
struct tar_recorded_member {
  tar_walk_state before;
  tar_member member;
};

// Safe to use from any thread; every answer is a copy.
class tar_member_table final : public sonovale_io::content_attachment {
 public:
  size_t memory_bytes() const override;
  // Grows with every member or end recorded.
  uint64_t version() const override;
  // The table in the form restore reads.
  std::vector<uint8_t> serialize() const override;
  // Takes the rows and end that `stored` (serialize's form) holds, into an
  // empty table; false, leaving the table empty, when `stored` is not
  // exactly such a form. Rows taken so are what an earlier walk found: they
  // are confirmed before use (tar_recorded_member_still_there).
  bool restore(const std::vector<uint8_t>& stored);
  // True when the rows came from restore: their end and completeness are
  // what an earlier walk said, not what this process saw.
  bool restored() const;

  // Copies the first recorded member named `name` into `out`; false when
  // no recorded member has that name.
  bool find(const char* name, tar_recorded_member& out) const;
  // As find, for the first member whose legacy name (the naming that stored
  // member paths may carry) is `name`.
  bool find_legacy(const char* name, tar_recorded_member& out) const;
  // The recorded members, in walk order.
  std::vector<tar_recorded_member> members() const;

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
  std::vector<tar_recorded_member> members_;
  tar_walk_state end_;
  bool complete_ = false;
  size_t bytes_ = 0;
  uint64_t version_ = 0;
  bool restored_ = false;
};

// Moves `walker` to its next member as read_next_header does, recording
// what it meets in `table` when there is one.
bool read_next_recorded(tar_reader& walker, tar_member_table* table);

// Whether the entry `recorded` points to, read again from `archive` by a
// walk from its place, is still that member: same names, size, data
// position and sparse map. False too when that walk fails on bad data
// (exception_io_data) or finds no member there. Throws what reading throws
// otherwise (the user's abort, host failures).
bool tar_recorded_member_still_there(sonovale_io::file_ptr& archive,
                                     const tar_recorded_member& recorded, abort_callback& abort);
