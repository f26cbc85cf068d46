// Moving bytes between streams: counted copies, exact copies between files,
// counted texts, and a reader restricted to a byte budget.
#pragma once

#include "io/file.h"
#include "io/string.h"

class file_buffer;

namespace sonovale_io {

// Copies up to `count` bytes in chunks of at most 8 MiB, polling `abort`
// before each chunk; stops early when the source's read returns 0. Returns
// the bytes copied.
uint64_t transfer(stream_reader& source, stream_writer& destination, uint64_t count,
                  abort_callback& abort);

// As transfer, but throws exception_io_data_truncation when fewer than
// `count` bytes were copied (those stay written).
void transfer_exact(stream_reader& source, stream_writer& destination, uint64_t count,
                    abort_callback& abort);

// Copies exactly `count` bytes from `source`'s position to `destination`'s,
// first sizing the destination once when more than 1024 bytes go to a file
// of known size. Holds a reference to both files for the call.
void transfer_file_exact(service_ptr_t<file> source, service_ptr_t<file> destination,
                         uint64_t count, abort_callback& abort);

// Reads exactly `count` bytes from `source` straight into the caller's
// storage at `destination`, in reads of at most 8 MiB, polling `abort`
// before each; no scratch buffer. Throws exception_io_data_truncation when
// the source ends first (the bytes read stay stored).
void read_exact_in_chunks(stream_reader& source, void* destination, uint64_t count,
                          abort_callback& abort);

// Reads exactly `count` bytes from `source` into the in-memory file
// `destination` at its position, straight into its storage, in reads of
// at most 8 MiB, polling `abort` before each. With `source_holds_count`
// (the caller has checked that the source is long enough) the file is
// sized once; otherwise `count` is only a claim, and the file starts small
// and grows geometrically, never past `count`, as the bytes arrive, so a
// false claim costs memory only for the data that exists. Throws
// plix::bad_alloc, before reading, when the file cannot reach that end
// (file_buffer::max_size) and when memory cannot be had;
// exception_io_data_truncation when the source ends first (the bytes read
// stay in the file).
void read_exact_into_file(stream_reader& source, file_buffer& destination, uint64_t count,
                          bool source_holds_count, abort_callback& abort);

// A new in-memory file holding what `source` gives from its position to its
// end, stamped with `source`'s time stamp and positioned at 0: for readers
// that need to know a file's size when the file cannot tell it. The storage
// grows with the bytes read; plix::bad_alloc past 2^32 - 1 bytes.
file_ptr read_to_memory(file& source, abort_callback& abort);

// Reads exactly `count` bytes into `destination`, which keeps the bytes
// before the first NUL. Counts above 64 KiB are read in doubling steps, so a
// wrong count on a short stream fails before a large allocation; on failure
// there `destination` is unchanged.
void read_string_exact(plix::string_base& destination, stream_reader& source, uint32_t count,
                       abort_callback& abort);

// A reader that passes at most `remaining` bytes of `source` on; past the
// budget it behaves as the end of the data. Does not own `source`.
class limited_reader : public stream_reader {
 public:
  limited_reader(stream_reader& source, uint64_t budget) : source_(source), remaining_(budget) {}

  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override;
  uint64_t skip(uint64_t count, abort_callback& abort) override;
  uint64_t remaining() const { return remaining_; }

 private:
  stream_reader& source_;
  uint64_t remaining_;
};

}  // namespace sonovale_io
