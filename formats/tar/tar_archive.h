// The TAR archive service: lists, measures and opens members of tape
// archives (what a member is: formats/tar/tar_walk.h).
//
// A plain TAR file is walked from offset 0 by every operation. A TAR read
// through a decoded view of a compressed file (archive_impl::open_archive)
// keeps its member table in the compressed file's content index entry
// (formats/tar/tar_member_table.h): later operations find members there
// without walking, and walks resume where earlier ones stopped. A member
// found in the table is read again where the table places it before its
// bytes are served.
#pragma once

#include "archive/archive.h"

class archive_tar : public sonovale_io::archive_impl {
 public:
  // Reports every member. Throws exception_io_data before reading when the
  // path's extension is not "tar" (any case); otherwise what the walk and
  // extract_member throw. With `supply_readers`, each member's file is
  // released (unless the callback kept it) before the next is made.
  void list_members(const char* path, sonovale_io::file_ptr& reader,
                    sonovale_io::member_callback& callback, bool supply_readers) override;
  const char* get_type_name() override { return "tar"; }
  // The first member named exactly `member`, else the first whose legacy
  // name is `member`: its size and the archive's time stamp. Throws
  // exception_io_not_found when there is none.
  sonovale_io::file_stats get_member_stats(const char* archive_path, const char* member,
                                           abort_callback& abort) override;
  // An in-memory copy of the member get_member_stats finds. Throws
  // exception_io_not_found when there is none.
  void open_member(sonovale_io::file_ptr& out, const char* archive_path, const char* member,
                   abort_callback& abort) override;

 protected:
  ~archive_tar() = default;
};
