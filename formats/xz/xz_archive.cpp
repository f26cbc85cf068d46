#include "formats/xz/xz_archive.h"

#include <algorithm>
#include <atomic>

#include "archive/content_output.h"
#include "formats/xz/xz_decoder.h"

using namespace sonovale_io;

namespace {

std::atomic<uint32_t> g_decoder_threads{0};

// The index is checked against the blocks only when decoding reaches it, so
// a crafted one could claim gigabytes for a small file. Memory is reserved
// at once for at most this many times the file's size, as for gzip; more
// compressible content still decodes, growing the storage as it comes.
constexpr uint64_t max_believed_ratio = 1024;

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
