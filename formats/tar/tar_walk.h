// The TAR walk: reads a tape archive's entries one after another and finds
// its members.
//
// Reads classic 512-byte headers, the POSIX ustar prefix, GNU "L" long-name
// records, pax extended headers ("x" for the next entry, "g" for every
// later one; of their keys "path", "size" and the GNU sparse keys count)
// and sparse members (old GNU "S" entries; pax GNU sparse 0.0, 0.1, 1.0).
// Regular files ("0", NUL, "7") and sparse files are members; every other
// entry (directories, links, devices, volume labels) is stepped over. A
// walk keeps nothing beyond its own state (tar_walk_state), from which
// another walk can resume.
#pragma once

#include <string>

#include "formats/tar/tar_header.h"
#include "formats/tar/tar_sparse.h"
#include "io/file.h"
#include "io/string.h"

// One member as the walk found it: everything needed to list it, and to
// extract it later with the archive file alone (tar_reader::extract_member).
struct tar_member {
  // The name: a pax path, else a GNU long name, else the ustar prefix and
  // the name field joined with "/".
  plix::string8_fastalloc name;
  // The name without pax records and the ustar prefix (the GNU long name,
  // else the name field) when it differs from `name`; empty otherwise.
  // Stored member paths may name a member by it; they keep opening.
  plix::string8_fastalloc legacy_name;
  // The archive's offset of the entry's first record, extension headers
  // (long names, pax headers) included.
  uint64_t header_position = 0;
  // The archive's offset of the first byte of the member's stored data (for
  // GNU sparse 1.0, after the map at its start).
  uint64_t data_position = 0;
  // The content's size; never negative.
  uint64_t size = 0;
  // The bytes stored from data_position: `size` unless the member is sparse.
  uint64_t stored_size = 0;
  // A sparse member's data segments, checked (tar_sparse.h); empty for
  // every other member.
  tar_sparse_map sparse;
};

// Where a walk stands between two entries: a walk made from it goes on as
// the walk that reached it would have. Copyable, so that a walk can stop
// and another resume later.
struct tar_walk_state {
  // The archive's offset of the next entry's first record.
  uint64_t next_header = 0;
  // The values that "g" records put in force; empty when none is.
  plix::string8 global_path;
  bool has_global_size = false;
  uint64_t global_size = 0;
  // A malformed pax record set was ignored on the way: the walk fails
  // where the archive ends.
  bool damaged = false;
};

// Walks one archive's entries. Holds no reference: `archive` and `abort`
// must outlive the walker.
class tar_reader {
 public:
  // Starts at `from` (offset 0 by default). Takes the archive's time stamp
  // once. Throws what get_timestamp throws.
  tar_reader(sonovale_io::file_ptr& archive, abort_callback& abort,
             const tar_walk_state& from = {});
  tar_reader(const tar_reader&) = delete;
  tar_reader& operator=(const tar_reader&) = delete;

  // Moves to the next member and returns true, with member() set. Returns
  // false at the archive's end: two zero-first blocks met since the previous
  // entry, or the end of the file where a header would start, after an
  // entry or one block of zeros (not at offset 0: an empty file is no
  // archive). A malformed pax record set is ignored (the entry keeps its
  // header's name and size) and marks the walk damaged: it then throws
  // exception_io_data at the archive's end instead of returning false.
  // Throws exception_io_data for a bad checksum, a negative size, a
  // long-name record of 2^32 - 1 bytes or more, a pax record set of more
  // than 1 MiB, an "x" size that is not decimal or passes 2^63 - 1, a
  // malformed sparse map or one that runs past the member, or a next
  // header beyond 2^64; exception_io_data_truncation when the file ends
  // inside a header, an extension record, a sparse map or a member's data,
  // or after extension records before the entry they describe.
  bool read_next_header();

  const tar_member& member() const { return member_; }
  const char* name() const { return member_.name.get_ptr(); }
  uint64_t size() const { return member_.size; }
  uint64_t timestamp() const { return timestamp_; }
  // The walk's place after the current member.
  const tar_walk_state& state() const { return state_; }

  // Makes an in-memory file holding the current member's content,
  // positioned at 0.
  sonovale_io::file_ptr extract_member() { return extract_member(member_); }
  // Makes an in-memory file holding the content of `member`, a record of
  // this archive from any walk, positioned at 0; a sparse member's holes
  // read as zeros. Throws exception_io_data_truncation, before allocating,
  // when the stored data runs past the end of an archive of known size,
  // and at the end of the data of an archive of unknown size, whose
  // member's memory grows with the bytes read; plix::bad_alloc when the
  // member is 2^32 bytes or more; exception_aborted between chunks.
  sonovale_io::file_ptr extract_member(const tar_member& member);

 private:
  // The extension records met since the last entry that was not one.
  struct pending;
  // Reads the extension entry in header_ (type "L", "x", "X" or "g").
  void read_extension(uint8_t type, uint64_t stored, pending& p);
  // The walk met the archive's end: false, or exception_io_data when the
  // walk is damaged.
  bool reached_end() const;
  // Fills member_ from header_ and `p`, for a member entry.
  void make_member(uint8_t type, uint64_t stored, const pending& p);

  sonovale_io::file_ptr& archive_;
  abort_callback& abort_;
  uint64_t timestamp_;
  tar_walk_state state_;
  tar_member member_;
  uint8_t header_[tar_block_size];
  std::string pax_records_;  // the last record set read, kept for its storage
};
