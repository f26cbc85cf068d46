// Sequential readers that report failures as error texts instead of
// exceptions, and the adapter that reads a host file through them.
//
// Every operation returns null for success or one of the static texts of
// io/error_text.h; the first error ends the operation. The readers own
// nothing and live on the caller's stack for one decoding routine.
#pragma once

#include <cstdint>

#include "io/error_text.h"
#include "io/file.h"

// A forward reader that knows how many bytes remain. The `do_` operations
// never change `remain`; the non-virtual operations keep it in step.
class Data_Reader {
 public:
  Data_Reader() = default;
  Data_Reader(const Data_Reader&) = delete;
  Data_Reader& operator=(const Data_Reader&) = delete;
  virtual ~Data_Reader() = default;

  // Delivers exactly `n` bytes: success, reading nothing, for n <= 0;
  // " truncated file", reading nothing, when n exceeds remain(). A failed
  // read leaves remain() unchanged, though the source may have moved on.
  error_text read(void* buffer, int32_t n);
  // Delivers min(n, remain()) bytes and stores that count in `n` (0 on
  // failure). A negative `n` gives " internal usage bug".
  error_text read_avail(void* buffer, int32_t& n);
  uint64_t remain() const { return remain_; }

 protected:
  // Delivers exactly `n` bytes (n > 0). The base version does nothing.
  virtual error_text do_read(void* buffer, int32_t n);
  // Passes over `n` bytes; by default reads them in 512-byte pieces.
  virtual error_text do_skip(int32_t n);

  void set_remain(uint64_t n) { remain_ = n; }

 private:
  uint64_t remain_ = 0;
};

// A Data_Reader with a known size and random access.
class File_Reader : public Data_Reader {
 public:
  uint64_t size() const { return size_; }
  uint64_t tell() const { return size_ - remain(); }
  // Moves to `position`: nothing when already there, " truncated file"
  // past the end; otherwise the source's text when it cannot seek.
  error_text seek(uint64_t position);

 protected:
  virtual error_text do_seek(uint64_t position) = 0;
  virtual error_text do_skip_wide(uint64_t n) { return do_seek(tell() + n); }

  void set_size(uint64_t n) { size_ = n; }

 private:
  uint64_t size_ = 0;
};

// Reads a host file. The caller keeps `file` alive for the reader's life.
// Host failures become texts: a read failure (short data included)
// " couldn't open file", a seek failure " read/write error". The user's
// abort (exception_aborted) and allocation failures (std::bad_alloc) pass
// through as exceptions: they are not properties of the file, and a cancel
// must not surface as a corrupt file.
class sonovale_File_Reader : public File_Reader {
 public:
  // Stands at the file's current position; remain() counts to the end of
  // the file, 0 when the file is positioned past its end. Throws
  // exception_io_no_length when the file cannot tell its size; failures of
  // get_size and get_position themselves pass through.
  sonovale_File_Reader(const service_ptr_t<sonovale_io::file>& file, abort_callback& abort);

 protected:
  error_text do_read(void* buffer, int32_t n) override;
  error_text do_skip(int32_t n) override;
  error_text do_seek(uint64_t position) override;

 private:
  const service_ptr_t<sonovale_io::file>& file_;
  abort_callback& abort_;
};
