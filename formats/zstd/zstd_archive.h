// The ZST archive and unpacker: a zstd file offered as an archive with one
// member, and as an unpacker of zstd files the host has opened.
//
// The member is named after the archive path without its last extension
// ('song.wav.zst' holds 'song.wav'; 'album.tzst' holds 'album.tar'); its
// time stamp is the archive file's. Content is always decoded whole into
// an in-memory file, every frame to its verified end and nothing after the
// last (formats/zstd/zstd_decoder.h lists the failures). Sizes given without
// decoding (statistics, listing without readers) are the sum of the
// content sizes the frames declare; when a frame declares none (as written
// from a pipe), or the frames are damaged, cut short or followed by bytes
// that start no frame, the size is unknown there, and opening tells what
// is wrong.
#pragma once

#include "archive/single_member.h"
#include "formats/zstd/zstd_decoder.h"

// Decodes the whole zstd file `archive`, from its first byte, and writes
// the content to `out` at its position, which ends after the content; an
// in-memory file is filled in place, sized once by the declared sizes when
// every frame declares one. Throws as zstd_decoder
// (formats/zstd/zstd_decoder.h); then `out` holds part of the content and must
// be discarded.
void zstd_decode_into(const sonovale_io::file_ptr& archive, abort_callback& abort,
                      sonovale_io::file_ptr& out);

// The type name of the archive service, and of its member paths.
inline constexpr char zstd_type_name[] = "zst";

// The archive service of type "zst" (archive/single_member.h); its
// sizes without decoding are zstd_declared_size's (formats/zstd/zstd_decoder.h).
using archive_zst =
    sonovale_io::single_member_archive_t<zstd_type_name, zstd_decode_into, zstd_declared_size>;

// The unpacker of zstd files.
using unpacker_zst = sonovale_io::single_member_unpacker_t<zstd_decode_into>;
