// Member paths and the path-text helpers shared by the archive formats.
//
//   "unpack://" type "|" length "|" archive path "|" member
//
// The archive path is delimited by its byte length, so it may itself hold
// "|" or be another member path; the member is everything after it.
#pragma once

#include <cstddef>
#include <string_view>

#include "archive/archive.h"

namespace sonovale_io {

// What every member path starts with.
constexpr char member_path_prefix[] = "unpack://";
constexpr size_t member_path_prefix_length = sizeof member_path_prefix - 1;

// Replaces `out` with the member path of `member` in the archive at
// `archive_path`, typed by `owner`'s get_type_name.
void make_member_path(plix::string_base& out, archive_impl& owner, const char* archive_path,
                      const char* member);

// Splits a member path after its type field. Returns false, leaving both
// outputs unchanged, unless the text holds "|", a length of 1 to 2^31 - 1,
// another "|", exactly that many bytes of archive path, and a third "|".
// The text before the first "|" is not examined.
bool parse_member_path(const char* path, plix::string_base& archive_path,
                       plix::string_base& member);

// As parse_member_path, without copying: `archive_path` and `member` view
// parts of `path`, which may be any part of a longer text.
bool split_member_path(std::string_view path, std::string_view& archive_path,
                       std::string_view& member);

// Member paths nest (an archive path may itself be a member path); every
// level costs the operations that follow it a recursion through the
// host's dispatch. Deeper paths are refused before any recursion.
constexpr unsigned max_member_path_depth = 64;

// How many member paths are nested in `path`: 0 for a path that is not a
// member path ("unpack://" and a parsable rest), 1 for a member of a plain
// file, and so on. Stops counting above max_member_path_depth.
unsigned member_path_depth(const char* path);

// Index of the file-name part: one past the last "\", "/", "|" or ":".
size_t file_name_offset(const char* path);

// The file-name part's extension without the dot, ending at a "?" after
// the dot; empty when there is none or it is 32 bytes or longer. Writes
// into `out` (32 bytes) and returns it.
char* get_file_extension(const char* path, char out[32]);

// The file-name part without its last extension; a leading dot is kept.
plix::string8 get_file_name_without_extension(const char* path);

// Whether `path`'s extension, in any case, is the archive type `type`
// ("gz") or a short form that type claims for a compressed TAR archive
// ("tgz", "taz"; "tbz", "tbz2", "tb2" for "bz2"; "txz" for "xz"; "tzst"
// for "zst").
bool is_archive_extension(const char* path, const char* type);

// The name of the one file a compressed file at `path` holds: its file
// name without the last extension ('song.wav.gz' holds 'song.wav'), where a
// short form of a compressed TAR archive becomes ".tar" ('album.tgz' and
// 'album.TBZ2' hold 'album.tar').
plix::string8 get_compressed_member_name(const char* path);

}  // namespace sonovale_io
