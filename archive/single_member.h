// The archive service and the unpacker of a compressed file that holds one
// member, its decoded content: what the gzip, bzip2, xz and zstd formats
// share.
//
// The member is named after the archive path without its last extension
// ('song.wav.gz' holds 'song.wav'; 'album.tgz' holds 'album.tar'), never
// after anything stored in the file; its time stamp is the archive file's.
// Content is always decoded whole into a new in-memory file. A format
// gives two functions: one that decodes a whole file and one that tells
// the content size without decoding (from a trailer, an index or declared
// sizes, or unknown_size), which a format whose data announces no size
// (bzip2) leaves null: its member's size is then learnt by decoding, or
// told from the content index once a pass has verified the whole content.
#pragma once

#include <cstdint>

#include "abi/unpacker.h"
#include "archive/archive.h"

namespace sonovale_io {

// Decodes the whole compressed file `archive` and writes the content to
// `out` at its position. Decodes from the file's first byte (gzip, xz,
// zstd), or from where it stands (bzip2). Throws the format's exceptions;
// then `out` holds part of the content.
using decode_whole_fn = void (*)(const file_ptr& archive, abort_callback& abort, file_ptr& out);
// The content size of `archive` without decoding it, or unknown_size.
using content_size_fn = uint64_t (*)(const file_ptr& archive, abort_callback& abort);

// A new in-memory file holding the content of `archive`, at position 0,
// stamped with `timestamp`.
file_ptr decode_to_new_file(decode_whole_fn decode, const file_ptr& archive, uint64_t timestamp,
                            abort_callback& abort);

// The archive service of a one-member compressed format.
class BRENMOOR_SHARED single_member_archive : public archive_impl {
 public:
  // Reports the one member. With `supply_readers` its content is decoded
  // and handed over, and its size is the real one; otherwise the size is
  // size_without_decoding's, and decoded for when that is unknown and the
  // format has no content_size_fn. Uses `reader` from its current position
  // when it holds a file. Throws exception_io_data for a path whose extension the
  // format does not claim (is_our_archive_extension), before opening it.
  void list_members(const char* path, file_ptr& reader, member_callback& callback,
                    bool supply_readers) override;
  // The size without decoding (size_without_decoding) and the archive's
  // time stamp; `member` is not read. When a format without a
  // content_size_fn has no verified size kept, the content is decoded into
  // a host temporary file ("tempmem://") for its size;
  // exception_io_no_length when that file cannot tell it.
  file_stats get_member_stats(const char* archive_path, const char* member,
                              abort_callback& abort) override;
  // The decoded content at position 0; `member` is not read. `out` is
  // replaced only on success.
  void open_member(file_ptr& out, const char* archive_path, const char* member,
                   abort_callback& abort) override;

 protected:
  single_member_archive(decode_whole_fn decode, content_size_fn content_size)
      : decode_(decode), content_size_(content_size) {}
  ~single_member_archive() = default;

 private:
  // Opens the archive file at `path`. A format that tells the size without
  // decoding reads it from the file's end, so needs the file's size
  // (open_sized_archive); one that cannot reads the file forward only.
  file_ptr open_archive_file(const char* path, abort_callback& abort);
  // The content size of `archive`, opened from `path`, without decoding
  // it: the content_size_fn's; without one, the size a pass from the start
  // found and verified, as the content index keeps it; else unknown_size.
  uint64_t size_without_decoding(const char* path, const file_ptr& archive,
                                 abort_callback& abort);
  // The decoded content of `archive`, opened from `path`, in a new
  // in-memory file at position 0 stamped `timestamp`: read through a
  // decoded view, which decodes on every core, when the content index
  // holds checkpoints for the file and the format allows it
  // (view_format::decodes_whole_files_through_views); otherwise decoded
  // whole as decode_to_new_file does. Throws the same exceptions either way.
  file_ptr decode_content(const char* path, const file_ptr& archive, uint64_t timestamp,
                          abort_callback& abort);

  decode_whole_fn decode_;
  content_size_fn content_size_;
};

// The archive service of a one-member format of type `type_name` ("gz"),
// which decodes with `decode` and tells the size without decoding with
// `content_size` (null when its data announces none).
template <const char* type_name, decode_whole_fn decode, content_size_fn content_size>
class single_member_archive_t : public single_member_archive {
 public:
  single_member_archive_t() : single_member_archive(decode, content_size) {}
  const char* get_type_name() override { return type_name; }

 protected:
  ~single_member_archive_t() = default;
};

// The unpacker of a one-member compressed format.
class BRENMOOR_SHARED single_member_unpacker : public unpacker {
 public:
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  // The decoded content of `source` at position 0, decoded as the format's
  // decode_whole_fn does (from the source's first byte whatever its
  // position, or from where it stands), with the source's time stamp. Throws exception_io_data ("Unsupported format or corrupted
  // file") for an empty `source`. `out` is replaced only on success.
  void unpack_file(file_ptr& out, const file_ptr& source, abort_callback& abort) override;

 protected:
  explicit single_member_unpacker(decode_whole_fn decode) : decode_(decode) {}
  ~single_member_unpacker() = default;

 private:
  decode_whole_fn decode_;
};

// The unpacker of a one-member format, which decodes with `decode`.
template <decode_whole_fn decode>
class single_member_unpacker_t : public single_member_unpacker {
 public:
  single_member_unpacker_t() : single_member_unpacker(decode) {}

 protected:
  ~single_member_unpacker_t() = default;
};

}  // namespace sonovale_io
