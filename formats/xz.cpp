#include "formats/xz.h"

#include <algorithm>
#include <atomic>

#include "archive/member_path.h"
#include "component/host_api.h"
#include "formats/content_output.h"
#include "formats/xz_decoder.h"
#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {

std::atomic<uint32_t> g_decoder_threads{0};

// The index is checked against the blocks only when decoding reaches it, so
// a crafted one could claim gigabytes for a small file. Memory is reserved
// at once for at most this many times the file's size, as for gzip; more
// compressible content still decodes, growing the storage as it comes.
constexpr uint64_t max_believed_ratio = 1024;

// A new in-memory file holding the content of `archive`, at position 0.
file_ptr decode_to_new_file(const file_ptr& archive, uint64_t timestamp, abort_callback& abort) {
  file_ptr content = make_file_buffer(0, timestamp);
  xz_decode_into(archive, abort, content);
  content->reopen(abort);
  return content;
}

}  // namespace

void xz_set_decoder_threads(uint32_t threads) {
  g_decoder_threads.store(threads, std::memory_order_relaxed);
}

uint32_t xz_decoder_threads() {
  uint32_t threads = g_decoder_threads.load(std::memory_order_relaxed);
  if (threads == 0) threads = lzma_cputhreads();
  return std::max<uint32_t>(threads, 1);
}

uint64_t xz_content_size(const file_ptr& archive, abort_callback& abort) {
  // The magic first, so that other data fails as decoding it would.
  xz_check_magic(archive, abort);
  xz_index_ptr index = xz_read_index(archive, abort);
  return index ? lzma_index_uncompressed_size(index.get()) : unknown_size;
}

void xz_decode_into(const file_ptr& archive, abort_callback& abort, file_ptr& out) {
  uint64_t expected = unknown_size;
  uint64_t blocks = 0;
  if (xz_index_ptr index = xz_read_index(archive, abort)) {
    uint64_t compressed = lzma_index_file_size(index.get());
    expected = std::min(lzma_index_uncompressed_size(index.get()), compressed * max_believed_ratio);
    blocks = lzma_index_block_count(index.get());
  }
  // A single block cannot be spread over threads; the threaded decoder
  // would only add a copy of every byte.
  xz_decoder decoder(archive, blocks > 1 ? xz_decoder_threads() : 1);
  decoder.start(abort);
  decode_content_into(decoder, expected, *out, abort);
}

void archive_xz::list_members(const char* path, file_ptr& reader, member_callback& callback,
                              bool supply_readers) {
  if (!is_our_archive_extension(path)) throw exception_io_data();
  file_ptr archive = reader;
  if (archive.is_empty()) archive = open_sized_archive(path, callback);

  plix::string8 member_path;
  make_member_path(member_path, *this, path, get_compressed_member_name(path).get_ptr());
  file_stats stats;
  stats.timestamp = archive->get_timestamp(callback);
  file_ptr content;
  if (supply_readers) {
    content = decode_to_new_file(archive, stats.timestamp, callback);
    stats.size = content->get_size(callback);
  } else {
    stats.size = xz_content_size(archive, callback);
  }
  callback.on_member(this, member_path.get_ptr(), stats, content);
}

file_stats archive_xz::get_member_stats(const char* archive_path, const char*,
                                        abort_callback& abort) {
  file_ptr archive = open_sized_archive(archive_path, abort);
  file_stats stats;
  stats.timestamp = archive->get_timestamp(abort);
  stats.size = xz_content_size(archive, abort);
  return stats;
}

void archive_xz::open_member(file_ptr& out, const char* archive_path, const char*,
                             abort_callback& abort) {
  file_ptr archive = open_sized_archive(archive_path, abort);
  out = decode_to_new_file(archive, archive->get_timestamp(abort), abort);
}

bool unpacker_xz::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<unpacker>(this, out, id);
}

void unpacker_xz::unpack_file(file_ptr& out, const file_ptr& source, abort_callback& abort) {
  if (source.is_empty()) throw exception_io_data();
  // `out` and `source` may be the same reference: it changes only at the end.
  out = decode_to_new_file(source, source->get_timestamp(abort), abort);
}
