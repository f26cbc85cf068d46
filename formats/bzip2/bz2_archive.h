// The BZ2 archive and unpacker: a bzip2 file offered as an archive with one
// member, its decompressed content, and as an unpacker of opened files
// (archive/single_member.h).
//
// The member is named after the archive path without its last extension
// ('song.flac.bz2' holds 'song.flac'; 'album.tbz2', 'album.tbz' and
// 'album.tb2' hold 'album.tar'); its time stamp is the archive file's.
// bzip2 data announces no size, so every operation that needs the
// member's size or content decodes the whole file: a listing always hands
// the content over, whatever it was asked, and statistics decode into a
// host temporary file. Content is decoded from where the file stands, not
// from its first byte.
#pragma once

#include "archive/single_member.h"

// Decodes every bzip2 stream of `archive`, from its current position,
// through a pass of the bzip2 view format (bz2_start_whole_pass) with
// bz2_decoder_threads() threads, and writes the content to `out` at its
// position, which ends after the content. An in-memory file is filled in
// place; any other file gets writes of at most 4096 bytes. A block's bytes
// are written only once its CRC has matched. Throws exception_io_data
// with "Not BZIP2 data", "Data error" or "Obsolete input", or "Unknown
// exception" for a CRC mismatch; exception_io_data_truncation when the
// file ends inside a stream; exception_aborted; plix::bad_alloc; and
// whatever the files throw. Then `out` holds part of the content and must
// be discarded. Polls `abort` at every 1 MiB of output.
void bz2_decode_into(const sonovale_io::file_ptr& archive, abort_callback& abort,
                     sonovale_io::file_ptr& out);

// The type name of the archive service, and of its member paths.
inline constexpr char bz2_type_name[] = "bz2";

// The archive service of type "bz2", with no content-size function: bzip2
// data announces no size.
using archive_bz2 = sonovale_io::single_member_archive_t<bz2_type_name, bz2_decode_into, nullptr>;

// The unpacker of bzip2 files.
using unpacker_bz2 = sonovale_io::single_member_unpacker_t<bz2_decode_into>;
