// The xz decoder: every stream of an xz file decoded in order through the
// system's liblzma, and the file's index read from its end.
//
// A file is one or more streams, each a 12-byte header, blocks, an index
// of the blocks' sizes and a 12-byte footer, optionally followed by stream
// padding (zero bytes in groups of four). Every block's integrity check
// (none, CRC-32, CRC-64 or SHA-256), every stream's index and every
// footer are verified. After a stream and its padding the file ends or
// another stream starts: other bytes are refused, as `xz -dc` refuses
// them (corrupt, or truncation when fewer bytes follow than a stream
// header holds).
//
// Failures, with their fixed messages:
//   exception_io_data "Not XZ data"           the file does not start with
//                                             the xz magic (an empty file)
//   exception_io_data "Corrupt XZ data"       damaged headers, data, checks,
//                                             indexes or footers, padding
//                                             not in fours, bytes after a
//                                             stream that start no stream
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

// The memory an index decoder may take for a file of `file_size` bytes
// (unknown_size: no bound): enough for every index the file can hold,
// since a stream takes at least 32 bytes of the file and a block record at
// least 2 (twice what liblzma counts for one index of that many streams
// and records, as it counts each stream's index on its own while decoding
// it). A decoder that asks for more was handed a damaged count.
uint64_t xz_index_memory_limit(uint64_t file_size);

// The combined index of every stream of `source`, read from the end of the
// file (its footers, indexes and stream headers; constant in the content's
// size) under xz_index_memory_limit. Null when the file cannot tell its
// size or does not end as a well-formed xz file (damaged, truncated,
// followed by other bytes, an index larger than the file can hold). The
// index is the file's own claim, checked against no block: a hint until
// decoding confirms it. Throws plix::bad_alloc, and what the file and abort
// throw.
xz_index_ptr xz_read_index(const sonovale_io::file_ptr& source, abort_callback& abort);

// Where a block lies, as an index records it.
struct xz_block_place {
  uint64_t compressed_offset = 0;    // file offset of its block header
  uint64_t uncompressed_offset = 0;  // content offset of its first byte
  uint64_t unpadded_size = 0;        // header, data and check, no padding
  uint64_t uncompressed_size = 0;
  uint64_t number_in_stream = 0;  // from 1
};

// The place of the block `iter` stands at.
inline xz_block_place xz_place_of(const lzma_index_iter& iter) {
  xz_block_place p;
  p.compressed_offset = iter.block.compressed_file_offset;
  p.uncompressed_offset = iter.block.uncompressed_file_offset;
  p.unpadded_size = iter.block.unpadded_size;
  p.uncompressed_size = iter.block.uncompressed_size;
  p.number_in_stream = iter.block.number_in_stream;
  return p;
}

// The places of every block of `index`, in file order, to `each`.
template <typename F>
void xz_for_each_block(const lzma_index* index, F each) {
  lzma_index_iter iter;
  lzma_index_iter_init(&iter, index);
  while (!lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK)) each(xz_place_of(iter));
}

// Decodes an xz file's content. Holds a reference to the source. Used by
// one thread at a time; with more than one thread the decoder runs its own
// worker threads, which the caller never sees.
//
// Two ways to decode, chosen when it is made:
// - Whole streams, through liblzma's stream decoder (multi-threaded with
//   more than one thread): the road of decoding a file whole.
// - Block by block, for decoded views: the decoder reads each stream
//   header itself, decodes each block with liblzma's block decoder, then
//   checks the stream's index against the blocks it decoded, the footer
//   against the header, and the stream padding. It reports a checkpoint
//   at a block's start only once it has reached it by decoding: every
//   block before it in the pass decoded with its integrity check passed.
//   The checkpoint's output position is the pass's own output count; its
//   state (17 bytes, little-endian) is the block header's file offset (8
//   bytes), the block's number in its stream from 1 (8) and the stream's
//   check type (1). Nothing in a checkpoint comes from an index.
class xz_decoder final : public sonovale_io::view_pass {
 public:
  // Decodes whole streams. `threads`: 1 decodes in the caller's thread;
  // more lets liblzma's multi-threaded decoder spread blocks that record
  // their sizes in their headers (as multi-threaded compressors write
  // them) over that many threads, the others decoded in the caller's
  // thread as before.
  xz_decoder(sonovale_io::file_ptr source, uint32_t threads);
  // Decodes block by block in the caller's thread, reporting checkpoints
  // after the content's first byte to `sink`, which outlives the decoder.
  xz_decoder(sonovale_io::file_ptr source, sonovale_io::checkpoint_sink& sink);
  ~xz_decoder() override;
  xz_decoder(const xz_decoder&) = delete;
  xz_decoder& operator=(const xz_decoder&) = delete;

  // Starts at the file's first byte, whatever its position, and checks
  // the magic at once. Block by block, the file's index (xz_read_index)
  // is read first when the file ends in a well-formed one: each block, as
  // it begins, is bound to the next record (file offset, unpadded and
  // uncompressed sizes), so that a block that disagrees is corrupt at its
  // end (at its start when the index has no record at its offset or its
  // header records other sizes), without waiting for the stream's index.
  // No position or size from it is reported or decides a byte served.
  // Throws "Not XZ data", truncation for a non-empty file shorter than the
  // magic, and as decode.
  void start(abort_callback& abort);
  // Block by block only: starts at `from`, a checkpoint this decoder
  // reported for a file of the same path, size and time stamp. The
  // stream's blocks from there on are checked against the records of its
  // index from that block on when the pass reaches it; later streams
  // decode as from the start. Blocks before `from` are not read. Throws
  // exception_io_data (" internal usage bug") for a state it did not
  // write, and as decode.
  void start_at(const sonovale_io::view_checkpoint& from, abort_callback& abort);

  // As view_pass::decode. Polls `abort` at least every 1 MiB of output.
  size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) override;

  // True once the content has ended with every check passed.
  bool ended() const { return phase_ == phase::ended; }

 private:
  enum class phase { stream, block, ended };

  // (Re)starts liblzma's stream decoder on the stream at the input.
  void begin_stream();
  // Reads and checks the stream header at the input, for decoding block
  // by block.
  void read_stream_header(abort_callback& abort);
  // Between blocks: starts the block at the input, or checks the stream's
  // index, footer and padding and reads the next stream's header, until a
  // block has begun or the content has ended.
  void next_block(abort_callback& abort);
  // Reads the block header at the input and starts the block decoder,
  // bound to the index's record when the pass has the index.
  void begin_block(abort_callback& abort);
  // Reads the stream's index at the input and its footer, checked against
  // the blocks seen and the header.
  void finish_stream(abort_callback& abort);
  // After a stream: passes over its padding. True when another stream
  // follows, false when the file has ended; throws for padding not in
  // fours.
  bool skip_padding(abort_callback& abort);
  void end_content();
  // One liblzma call into out[0, n); returns the bytes produced and the
  // result.
  lzma_ret code(uint8_t* out, size_t n, size_t& produced, abort_callback& abort);

  stream_input input_;
  uint32_t threads_ = 1;
  sonovale_io::checkpoint_sink* sink_ = nullptr;  // set when decoding block by block
  lzma_stream stream_ = LZMA_STREAM_INIT;
  phase phase_ = phase::stream;
  bool input_ended_ = false;
  uint64_t output_ = 0;  // content offset of the next byte decoded

  // Block by block: the block, its stream's header flags (only the check
  // type when the pass began inside the stream), the first block's number
  // in its stream, and the sizes of the blocks done.
  lzma_block block_{};
  lzma_filter filters_[LZMA_FILTERS_MAX + 1];
  lzma_stream_flags stream_flags_{};
  uint64_t first_block_number_ = 1;
  struct block_sizes {
    uint64_t unpadded;
    uint64_t uncompressed;
  };
  std::vector<block_sizes> blocks_done_;
  // The file's index read at the start, and the record of the next block.
  xz_index_ptr hint_;
  lzma_index_iter hint_iter_{};
};
