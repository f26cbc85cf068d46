// The ZST archive and unpacker: a zstd file offered as an archive with one
// member, and as an unpacker of zstd files the host has opened.
//
// The member is named after the archive path without its last extension
// ('song.wav.zst' holds 'song.wav'; 'album.tzst' holds 'album.tar'); its
// time stamp is the archive file's. Content is always decoded whole into
// an in-memory file, every frame to its verified end
// (formats/zstd_decoder.h lists the failures). Sizes given without
// decoding (statistics, listing without readers) are the sum of the
// content sizes the frames declare; when a frame declares none (as written
// from a pipe), or the frames are damaged or cut short, the size is
// unknown there, and opening tells what is wrong.
#pragma once

#include "archive/archive.h"
#include "component/unpacker.h"

// Decodes the whole zstd file `archive`, from its first byte, and writes
// the content to `out` at its position, which ends after the content; an
// in-memory file is filled in place, sized once by the declared sizes when
// every frame declares one. Throws as zstd_decoder
// (formats/zstd_decoder.h); then `out` holds part of the content and must
// be discarded.
void zstd_decode_into(const sonovale_io::file_ptr& archive, abort_callback& abort,
                      sonovale_io::file_ptr& out);

// The archive service of type "zst".
class archive_zst : public sonovale_io::archive_impl {
 public:
  // Reports the one member. With `supply_readers` its content is decoded
  // and its size is the real one; otherwise the size is the declared one
  // (zstd_declared_size). Throws exception_io_data for a path whose
  // extension is not "zst" or "tzst" (any case), before opening it.
  void list_members(const char* path, sonovale_io::file_ptr& reader,
                    sonovale_io::member_callback& callback, bool supply_readers) override;
  const char* get_type_name() override { return "zst"; }
  // The declared size and the archive's time stamp; `member` is not read.
  sonovale_io::file_stats get_member_stats(const char* archive_path, const char* member,
                                           abort_callback& abort) override;
  // The decoded content at position 0; `member` is not read. `out` is
  // replaced only on success.
  void open_member(sonovale_io::file_ptr& out, const char* archive_path, const char* member,
                   abort_callback& abort) override;
};

// The unpacker of zstd files.
class unpacker_zst : public unpacker {
 public:
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  // The decoded content of `source` at position 0, decoded from the
  // source's first byte whatever its position. Throws exception_io_data
  // ("Unsupported format or corrupted file") for an empty `source`. `out`
  // is replaced only on success.
  void unpack_file(sonovale_io::file_ptr& out, const sonovale_io::file_ptr& source,
                   abort_callback& abort) override;
};
