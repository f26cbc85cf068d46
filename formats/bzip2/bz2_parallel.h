// Decoding bzip2 blocks on several threads.
//
// A block pool reads a compressed input ahead of a stream walk
// (bz2_decoder.h), finds every position where a block may start
// (bz2_block_finder.h) and has worker threads decode the blocks found,
// each into its expanded bytes and their CRC. When the walk reaches a
// record, it takes the block that a worker decoded from exactly that bit
// position, if there is one, and goes on after it; otherwise it decodes
// the record itself. A candidate therefore counts only where the block
// before it ends, and every check, error and its order stay those of
// decoding in sequence: a block a worker could not decode, or one that
// breaks its stream's block size, is decoded again by the walk, which
// finds the error.
//
// Only the walk's thread reads the input and polls the caller's abort
// callback; workers stop at a flag that destroying the pool sets.
#pragma once

#include <cstdint>
#include <memory>

#include "formats/bzip2/bz2_bit_input.h"
#include "formats/bzip2/bz2_block.h"
#include "io/file.h"

// Sets how many threads decode bzip2 blocks at once (the workers): 0 (the
// default) for one per processor the process may run on, 1 to decode on
// the calling thread alone. Any thread may call it; decodings that start
// afterwards use it. For hosts and tests; xz_set_decoder_threads is the
// same setting for xz.
void bz2_set_decoder_threads(unsigned count);

// The number of workers a decoding that starts now uses, 1 to 64.
unsigned bz2_decoder_threads();

// Memory: besides the output, each worker holds a block decoder (4.5 MB
// at the largest block size), and one block more than there are workers
// is handed out at a time, besides the one the walk is taking, each with
// its compressed bytes and up to 1.5 MiB of expanded bytes (a block that
// expands to more keeps its text instead). Reading ahead stops 16 MiB
// past the walk.
class bz2_block_pool {
 public:
  // Reads `input` from its current position, which the walk counts as
  // byte `offset`, in reads of bz2_chunk_size bytes up to 256 KiB at a
  // time, passing `abort` to the reads, and starts `workers`
  // threads (those the system grants; with none, the walk decodes every
  // block). Holds a reference to `input`. Throws plix::bad_alloc.
  bz2_block_pool(const sonovale_io::file_ptr& input, uint64_t offset, unsigned workers,
                 abort_callback& abort);
  // Stops every worker within the block it is decoding and waits for it.
  ~bz2_block_pool();
  bz2_block_pool(const bz2_block_pool&) = delete;
  bz2_block_pool& operator=(const bz2_block_pool&) = delete;

  // Passes `abort` to the reads from now on.
  void set_abort(abort_callback& abort);

  // The input as the walk reads it, from byte `offset` on. A read made
  // only to look ahead that throws is not repeated: its exception is
  // thrown when the walk needs those bytes.
  bz2_byte_source& source();

  // The block whose record starts at the position of `bits`, a walk over
  // source(), when a worker decoded it and neither its entry count nor its
  // origin pointer exceeds `capacity`: moves `bits` just past the block
  // and returns it, valid until the next call. Otherwise returns null and
  // leaves `bits` alone. Throws plix::bad_alloc.
  const bz2_decoded_block* take(bz2_bit_input& bits, uint32_t capacity);

 private:
  class impl;
  std::unique_ptr<impl> impl_;
};
