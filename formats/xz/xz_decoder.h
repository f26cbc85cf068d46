// The xz decoder: every stream of an xz file decoded in order through the
// system's liblzma, and the file's index read from its end.
//
// A file is one or more streams, each a 12-byte header, blocks, an index
// of the blocks' sizes and a 12-byte footer, optionally followed by stream
// padding (zero bytes in groups of four). Every block's integrity check
// (none, CRC-32, CRC-64 or SHA-256) and every stream's index are verified.
// After a stream and its padding, bytes that do not start with the xz
// magic end the content and are ignored, as gzip's trailing bytes are.
//
// Failures, with their fixed messages:
//   exception_io_data "Not XZ data"           the file does not start with
//                                             the xz magic (an empty file)
//   exception_io_data "Corrupt XZ data"       damaged headers, data, checks,
//                                             indexes or footers
//   exception_io_data "Unsupported XZ feature" unknown filters or options,
//                                             a check type liblzma lacks
//   exception_io_data_truncation              the file ends inside a stream
//   plix::bad_alloc                           memory cannot be had
// The user's abort and the host file's failures pass through.
#pragma once

#include <lzma.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "archive/stream_input.h"
#include "archive/view_format.h"

constexpr char xz_not_xz[] = "Not XZ data";
constexpr char xz_corrupt[] = "Corrupt XZ data";
constexpr char xz_unsupported[] = "Unsupported XZ feature";

// Throws the exception for a liblzma result that is neither LZMA_OK nor
// LZMA_STREAM_END. LZMA_BUF_ERROR reads as truncation: decoders are only
// told to finish once the file has no more bytes to give.
[[noreturn]] void xz_throw(lzma_ret result);

// Reads the first 6 bytes of `source` (from offset 0): throws "Not XZ data"
// unless they are the xz magic, truncation for a non-empty file shorter
// than the magic that starts it, and what the file and abort throw.
void xz_check_magic(const sonovale_io::file_ptr& source, abort_callback& abort);

struct xz_index_deleter {
  void operator()(lzma_index* index) const { lzma_index_end(index, nullptr); }
};
using xz_index_ptr = std::unique_ptr<lzma_index, xz_index_deleter>;

// The combined index of every stream of `source`, read from the end of the
// file (its footers, indexes and stream headers; constant in the content's
// size). Null when the file cannot tell its size or does not end as a
// well-formed xz file (damaged, truncated, followed by other bytes).
// Throws plix::bad_alloc, and what the file and abort throw.
xz_index_ptr xz_read_index(const sonovale_io::file_ptr& source, abort_callback& abort);

// Where a block lies, from the index: what a decoder needs to start there.
struct xz_block_place {
  uint64_t compressed_offset = 0;    // file offset of its block header
  uint64_t uncompressed_offset = 0;  // content offset of its first byte
  uint64_t unpadded_size = 0;        // header, data and check, no padding
  uint64_t uncompressed_size = 0;
  uint64_t number_in_stream = 0;  // from 1
  uint32_t check = 0;             // the stream's lzma_check, when the index knows it
};

// The places of every block of `index`, in file order, to `each`.
template <typename F>
void xz_for_each_block(const lzma_index* index, F each) {
  lzma_index_iter iter;
  lzma_index_iter_init(&iter, index);
  while (!lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK)) {
    xz_block_place p;
    p.compressed_offset = iter.block.compressed_file_offset;
    p.uncompressed_offset = iter.block.uncompressed_file_offset;
    p.unpadded_size = iter.block.unpadded_size;
    p.uncompressed_size = iter.block.uncompressed_size;
    p.number_in_stream = iter.block.number_in_stream;
    // An index decoded on its own carries no stream flags.
    const lzma_stream_flags* flags = iter.stream.flags;
    p.check = flags != nullptr ? static_cast<uint32_t>(flags->check) : 0;
    each(p);
  }
}

// Decodes an xz file's content. Holds a reference to the source. Used by
// one thread at a time; with more than one thread the decoder runs its own
// worker threads, which the caller never sees.
class xz_decoder final : public sonovale_io::view_pass {
 public:
  // `threads`: 1 decodes in the caller's thread; more lets liblzma's
  // multi-threaded decoder spread blocks that record their sizes in their
  // headers (as multi-threaded compressors write them) over that many
  // threads, the others in the caller's thread.
  xz_decoder(sonovale_io::file_ptr source, uint32_t threads);
  ~xz_decoder() override;
  xz_decoder(const xz_decoder&) = delete;
  xz_decoder& operator=(const xz_decoder&) = delete;

  // Starts at the file's first byte, whatever its position, and checks
  // the magic at once. Throws "Not XZ data", truncation for a
  // non-empty file shorter than the magic, and as decode.
  void start(abort_callback& abort);
  // Starts at the block `place` describes, which must come from this
  // file's index. The stream's blocks from there on are checked against
  // its index when the pass reaches it; later streams decode as from the
  // start. Blocks before `place` are not read.
  void start_at_block(const xz_block_place& place, abort_callback& abort);

  // As view_pass::decode. Polls `abort` at least every 1 MiB of output.
  size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) override;

  // True once the content has ended with every check passed.
  bool ended() const { return phase_ == phase::ended; }

 private:
  enum class phase { stream, block, ended };

  // (Re)starts liblzma's stream decoder on the stream at the input.
  void begin_stream();
  // After a stream: steps over its padding, then starts the next stream
  // or ends the content.
  void after_stream(abort_callback& abort);
  // Reads the block header at the input and starts the block decoder;
  // `expected`, when given, holds the sizes the index records.
  void begin_block(const xz_block_place* expected, abort_callback& abort);
  // After a block that began at a checkpoint's stream: the next block, or
  // the stream's index and footer, checked against the blocks seen.
  void after_block(abort_callback& abort);
  void finish_stream(abort_callback& abort);
  // One liblzma call into out[0, n); returns the bytes produced and the
  // result.
  lzma_ret code(uint8_t* out, size_t n, size_t& produced, abort_callback& abort);

  stream_input input_;
  uint32_t threads_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  phase phase_ = phase::stream;
  bool input_ended_ = false;

  // While decoding single blocks: the block, its stream's check, the
  // first block's number in its stream, and the sizes of the blocks done.
  lzma_block block_{};
  lzma_filter filters_[LZMA_FILTERS_MAX + 1];
  uint32_t check_ = 0;
  uint64_t first_block_number_ = 0;
  struct block_sizes {
    uint64_t unpadded;
    uint64_t uncompressed;
  };
  std::vector<block_sizes> blocks_done_;
};
