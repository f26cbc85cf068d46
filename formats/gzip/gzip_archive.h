// The GZ archive and unpacker: a gzip file offered as an archive with one
// member, and as an unpacker of gzip files the host has opened.
//
// The member is named after the archive path without its last extension
// ('song.wav.gz' holds 'song.wav'; 'album.tgz' and 'album.taz' hold
// 'album.tar'), never after the gzip header; its time
// stamp is the archive file's. Content is always inflated whole into an
// in-memory file, until zlib reports the end of the data (every member of a
// concatenated file, trailing padding or garbage ignored), so a wrong or
// damaged trailer cannot cut it short. Sizes given without inflating
// (statistics, listing without readers) are the trailer's announcement,
// which for a file of several members is the last member's size only.
#pragma once

#include "archive/single_member.h"

// The size that the gzip file `archive` announces in its trailer, without
// inflating; reads its first 4096 and last 8 bytes. Throws exception_io_data
// "Not GZIP data" when the file is not gzip, exception_io_data with the
// decoder's text for other failures (" unsupported file feature; gzip
// larger than 2GB" for 2^31 or more), exception_io_no_length when the file
// cannot tell its size. The user's abort passes through.
uint64_t gzip_announced_size(const sonovale_io::file_ptr& archive, abort_callback& abort);

// Inflates the whole gzip file `archive`, from its first byte, through a
// pass of the gzip view format (gzip_start_whole_pass), and writes the
// content to `out` at its position, which ends after the content. An
// in-memory file is filled in place, its storage reserved at once for the
// trailer's announcement but for no more than four times the file's size;
// any other file gets writes of at most 1024 bytes. Throws as
// gzip_announced_size, and exception_io_data " corrupt file" when the data
// is damaged or ends early; then `out` holds part of the content and must
// be discarded. Polls `abort` at least every 1 MiB of output.
void gzip_inflate_into(const sonovale_io::file_ptr& archive, abort_callback& abort,
                       sonovale_io::file_ptr& out);

// The type name of the archive service, and of its member paths.
inline constexpr char gzip_type_name[] = "gz";

// The archive service of type "gz" (archive/single_member.h); its
// sizes without decoding are gzip_announced_size's.
using archive_gz =
    sonovale_io::single_member_archive_t<gzip_type_name, gzip_inflate_into, gzip_announced_size>;

// The unpacker of gzip files.
using unpacker_gz = sonovale_io::single_member_unpacker_t<gzip_inflate_into>;
