// The BZ2 archive and unpacker: a bzip2 file offered as an archive with one
// member, its decompressed content, and as an unpacker of opened files.
//
// bzip2 data announces no size, so every operation that needs the member's
// size or content decodes the whole file; the content is held in memory.
// Nothing is kept between calls.
#pragma once

#include "abi/unpacker.h"
#include "archive/archive.h"

// The archive service for type "bz2". Its one member is named after the
// archive's file name without its extension ('song.flac.bz2' holds
// 'song.flac'; 'album.tbz2', 'album.tbz' and 'album.tb2' hold 'album.tar'); its time stamp is the
// archive file's. Decoding failures pass through as the decoder throws them (see bz2_decompress).
class archive_bz2 : public sonovale_io::archive_impl {
 public:
  // Reports the one member, always with a file holding its content at
  // position 0, whatever `supply_readers` says. Throws exception_io_data
  // when `path`'s extension is not "bz2", "tbz", "tbz2" or "tb2" (in any
  // case), before opening it.
  // Uses `reader` from its current position when it holds a file.
  void list_members(const char* path, service_ptr_t<sonovale_io::file>& reader,
                    sonovale_io::member_callback& callback, bool supply_readers) override;
  // "bz2".
  const char* get_type_name() override;
  // Decodes into a host temporary file ("tempmem://") to learn the size.
  // Any member name gives the one member. Throws exception_io_no_length
  // when the temporary file cannot tell its size.
  sonovale_io::file_stats get_member_stats(const char* archive_path, const char* member,
                                           abort_callback& abort) override;
  // Decodes into a new in-memory file at position 0, stored in `out` only
  // on success. Any member name gives the one member.
  void open_member(service_ptr_t<sonovale_io::file>& out, const char* archive_path,
                   const char* member, abort_callback& abort) override;
};

// The bzip2 unpacker.
class unpacker_bz2 : public unpacker {
 public:
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  // Decodes `source` from its current position into a new in-memory file
  // at position 0 with the source's time stamp, stored in `out` only on
  // success. Throws exception_io_data for an empty `source`, and whatever
  // the decoder throws ("Not BZIP2 data" for other data).
  void unpack_file(service_ptr_t<sonovale_io::file>& out,
                   const service_ptr_t<sonovale_io::file>& source, abort_callback& abort) override;
};
