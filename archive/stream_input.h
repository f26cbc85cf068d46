// Buffered input for the library decoders (xz, zstd): a compressed file
// read in large pieces, with the bytes not yet taken kept at hand so that a
// decoder can look ahead (a next stream's magic) before deciding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/byte_array.h"
#include "io/file.h"

// Reads `source` forward from where seek puts it (offset 0 at first).
// Holds a reference to the file. Read failures and the user's abort pass
// through as the file throws them; allocation failures throw
// plix::bad_alloc.
class stream_input {
 public:
  // `capacity` (at least 16) is the largest piece read at once.
  stream_input(sonovale_io::file_ptr source, uint32_t capacity);
  stream_input(const stream_input&) = delete;
  stream_input& operator=(const stream_input&) = delete;

  // The file read.
  const sonovale_io::file_ptr& source() const { return source_; }

  // Drops what is buffered and reads on from file offset `offset`.
  void seek(uint64_t offset, abort_callback& abort);

  // The buffered bytes not yet taken, and how many there are.
  const uint8_t* data() const { return buffer_.data() + start_; }
  size_t available() const { return end_ - start_; }
  // Takes `n` <= available() bytes.
  void take(size_t n) { start_ += static_cast<uint32_t>(n); }
  // The file offset of data()[0].
  uint64_t offset() const { return file_offset_ - available(); }

  // Makes at least `n` (<= capacity) bytes available, reading as needed.
  // False when the file ends first; then every byte up to its end is
  // available.
  bool ensure(size_t n, abort_callback& abort);
  // When nothing is available, reads the next piece. False when the file
  // has ended.
  bool refill(abort_callback& abort) { return available() != 0 || ensure(1, abort); }

 private:
  sonovale_io::file_ptr source_;
  byte_array buffer_;
  uint32_t start_ = 0;
  uint32_t end_ = 0;
  uint64_t file_offset_ = 0;  // file offset just past the buffered bytes
};
