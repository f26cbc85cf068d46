// The TAR archive service: lists, measures and opens members of tape archives.
//
// Reads classic 512-byte headers and "L" long-name records; other entry
// types (directories, links, extended headers) are stepped over and the
// prefix field is not joined to the name. Nothing is cached between calls:
// each operation walks the headers from offset 0.
#pragma once

#include "archive/archive.h"
#include "formats/tar_header.h"

// Walks one archive's headers from offset 0. Holds no reference: `archive`
// and `abort` must outlive the walker.
class tar_reader {
 public:
  // Takes the archive's time stamp once. Throws what get_timestamp throws.
  tar_reader(sonovale_io::file_ptr& archive, abort_callback& abort);
  tar_reader(const tar_reader&) = delete;
  tar_reader& operator=(const tar_reader&) = delete;

  // Moves to the next regular member ("0" or NUL type) and returns true,
  // with name() and size() set and the archive positioned at the member's
  // first data byte. Returns false after two zero-first blocks met since
  // the previous member. Throws exception_io_data for a bad checksum, a
  // negative size, a long-name record of 2^32 - 1 bytes or more, or a next
  // header beyond 2^64; exception_io_data_truncation when the archive ends
  // inside a header, a long name or before the end blocks.
  bool read_next_header();

  const char* name() const { return name_.get_ptr(); }
  // The member's size; never negative.
  uint64_t size() const { return size_; }
  // The archive's offset of the member's first data byte.
  uint64_t data_position() const { return data_position_; }
  uint64_t timestamp() const { return timestamp_; }

  // Makes an in-memory file holding the current member's data, positioned
  // at 0. Throws exception_io_data_truncation, before allocating, when the
  // member runs past the end of an archive of known size, and at the end of
  // the data of an archive of unknown size, whose member's memory grows
  // with the bytes read; plix::bad_alloc when the member is 2^32 bytes or
  // more; exception_aborted between chunks.
  sonovale_io::file_ptr extract_member();

 private:
  sonovale_io::file_ptr& archive_;
  abort_callback& abort_;
  plix::string8_fastalloc name_;
  uint64_t size_ = 0;
  uint64_t timestamp_;
  uint8_t header_[tar_block_size];
  uint64_t next_header_ = 0;
  uint64_t data_position_ = 0;
};

class archive_tar : public sonovale_io::archive_impl {
 public:
  // Reports every regular member. Throws exception_io_data before reading
  // when the path's extension is not "tar" (any case); otherwise what the
  // walk and extract_member throw. With `supply_readers`, each member's
  // file is released (unless the callback kept it) before the next is made.
  void list_members(const char* path, sonovale_io::file_ptr& reader,
                    sonovale_io::member_callback& callback, bool supply_readers) override;
  const char* get_type_name() override { return "tar"; }
  // The first regular member named exactly `member`: its size and the
  // archive's time stamp. Throws exception_io_not_found when there is none.
  sonovale_io::file_stats get_member_stats(const char* archive_path, const char* member,
                                           abort_callback& abort) override;
  // An in-memory copy of the first regular member named exactly `member`.
  // Throws exception_io_not_found when there is none.
  void open_member(sonovale_io::file_ptr& out, const char* archive_path, const char* member,
                   abort_callback& abort) override;

 protected:
  ~archive_tar() = default;
};
