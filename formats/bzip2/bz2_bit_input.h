// Bit input of the bzip2 decoder: bytes from a source, handed out as bits,
// the most significant bit of each byte first, from any bit position.
//
// A source makes bytes available one span at a time (a chunk read from a
// host file, or a block of memory). The bit input keeps its state in plain
// fields so that hot loops can copy them into locals, consume bytes from
// the span directly and store the state back (see bz2_block.cpp).
#pragma once

#include <cstdint>

#include "io/file.h"

// Input is read and output written in chunks of this many bytes.
constexpr uint32_t bz2_chunk_size = 4096;

// Where the bytes come from.
class bz2_byte_source {
 public:
  // Makes the next bytes available at `data` and returns their number, or
  // 0 at the end of the input. The bytes stay valid until the next call.
  virtual uint32_t next(const uint8_t*& data) = 0;

 protected:
  ~bz2_byte_source() = default;
};

// A host file read from its current position in chunks of bz2_chunk_size
// bytes, passing `abort` to every read. Holds a reference to the file.
// Whatever the file throws passes through.
class bz2_file_source final : public bz2_byte_source {
 public:
  bz2_file_source(const sonovale_io::file_ptr& file, abort_callback& abort)
      : file_(file), abort_(&abort) {}
  uint32_t next(const uint8_t*& data) override;
  // Passes `abort` to the reads from now on.
  void set_abort(abort_callback& abort) { abort_ = &abort; }

 private:
  sonovale_io::file_ptr file_;
  abort_callback* abort_;  // not owned
  uint8_t chunk_[bz2_chunk_size];
};

// One block of memory, handed out whole; not owned.
class bz2_memory_source final : public bz2_byte_source {
 public:
  bz2_memory_source(const uint8_t* data, uint32_t size) : data_(data), size_(size) {}
  uint32_t next(const uint8_t*& data) override;

 private:
  const uint8_t* data_;
  uint32_t size_;
};

// The reading state. `source` must outlive it.
struct bz2_bit_input {
  bz2_byte_source* source = nullptr;
  const uint8_t* data = nullptr;  // the current span; data[pos, count) is unread
  int32_t pos = 0;
  int32_t count = 0;
  uint32_t bit_count = 0;   // unconsumed low bits of bit_buffer (0-31)
  uint32_t bit_buffer = 0;  // oldest bit highest
  // Offset of the byte after the current span, counted from where the
  // source started (or from the `offset` given to bz2_bits_start).
  uint64_t span_end = 0;
};

// Starts reading `source` as if its first byte were at byte `offset` and
// drops the first `skip_bits` (0-7) bits. Throws as bz2_read_bits does.
void bz2_bits_start(bz2_bit_input& in, bz2_byte_source& source, uint64_t offset = 0,
                    uint32_t skip_bits = 0);

// The position of the next unread bit, counted like the offsets.
inline uint64_t bz2_bit_position(const bz2_bit_input& in) {
  return (in.span_end - static_cast<uint64_t>(in.count - in.pos)) * 8 - in.bit_count;
}

// Makes the next span current; the end of the input is a truncation.
// Precondition: the current span is used up (pos == count).
void bz2_refill(bz2_bit_input& in);

// The next `n` (1 to 32) bits, the first read highest. Throws
// exception_io_data_truncation when the input ends, and whatever the
// source throws.
uint32_t bz2_read_bits(bz2_bit_input& in, uint32_t n);

// Drops the bits up to the next byte boundary.
inline void bz2_align_to_byte(bz2_bit_input& in) {
  in.bit_count -= in.bit_count % 8;
}

// The next whole byte, or -1 at the end of the input. Precondition: the
// input is at a byte boundary.
int bz2_next_byte(bz2_bit_input& in);
