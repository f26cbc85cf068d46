// The XZ archive and unpacker: an xz file offered as an archive with one
// member, and as an unpacker of xz files the host has opened.
//
// The member is named after the archive path without its last extension
// ('song.wav.xz' holds 'song.wav'; 'album.txz' holds 'album.tar'); its
// time stamp is the archive file's. Content is always decoded whole into
// an in-memory file, every stream to its verified end and nothing but
// stream padding after the last (formats/xz/xz_decoder.h lists the
// failures). Sizes given without decoding (statistics, listing without
// readers) are the exact ones the file's index records, read from its end;
// a file whose end is not a well-formed index (damaged, cut short,
// followed by other bytes, an index larger than the file can hold) has an
// unknown size there, and opening it tells what is wrong.
#pragma once

#include <cstdint>

#include "archive/single_member.h"

// The threads that decode multi-block files: 0 (the default) for one per
// core, 1 for decoding in the caller's thread alone. For hosts and tests.
void xz_set_decoder_threads(uint32_t threads);
// The threads the next decoding of a multi-block file uses (at least 1).
uint32_t xz_decoder_threads();

// The content size of the xz file `archive` as its index records it, or
// unknown_size when the file cannot tell it (see above). Throws
// exception_io_data "Not XZ data" when the file does not start with the xz
// magic, exception_io_data_truncation when it is shorter than the magic,
// and what the file and abort throw.
uint64_t xz_content_size(const sonovale_io::file_ptr& archive, abort_callback& abort);

// Decodes the whole xz file `archive`, from its first byte, with liblzma's
// stream decoder, and writes the content to `out` at its position, which
// ends after the content; an in-memory file is filled in place, its first
// reservation the size the index records (at most 1024 times the file's
// size), grown as the content comes. Multi-block
// files are decoded by xz_decoder_threads() threads. Throws as xz_decoder
// (formats/xz/xz_decoder.h); then `out` holds part of the content and must be
// discarded.
void xz_decode_into(const sonovale_io::file_ptr& archive, abort_callback& abort,
                    sonovale_io::file_ptr& out);

// The type name of the archive service, and of its member paths.
inline constexpr char xz_type_name[] = "xz";

// The archive service of type "xz" (archive/single_member.h); its
// sizes without decoding are xz_content_size's.
using archive_xz =
    sonovale_io::single_member_archive_t<xz_type_name, xz_decode_into, xz_content_size>;

// The unpacker of xz files.
using unpacker_xz = sonovale_io::single_member_unpacker_t<xz_decode_into>;
