// File and stream interfaces shared with the host.
//
// `stream_reader` and `stream_writer` are plain interfaces; `file` is a
// reference-counted service that is both and adds size, position, seeking
// and a time stamp. Sizes and positions are unsigned 64-bit; `read` and
// `write` counts are unsigned 32-bit. The slot order of every interface here
// is the binary contract with the host: do not reorder.
#pragma once

#include <cstdint>

#include "abi/service.h"
#include "io/abort.h"

namespace sonovale_io {

// What `get_size` answers when a file cannot tell its length.
constexpr uint64_t unknown_size = UINT64_MAX;

enum seek_origin : uint32_t {
  seek_from_beginning = 0,
  seek_from_current = 1,
  seek_from_eof = 2,
};

class BRENMOOR_SHARED stream_reader {
 public:
  // slot 1: reads up to `count` bytes and returns how many it read. Fewer
  // than `count` means the end was reached; 0 means nothing is left.
  virtual uint32_t read(void* buffer, uint32_t count, abort_callback& abort) = 0;
  // slot 2: reads exactly `count` bytes; a short read throws
  // exception_io_data_truncation (the bytes read stay consumed).
  virtual void read_object(void* buffer, uint32_t count, abort_callback& abort);
  // slot 3: passes over up to `count` bytes and returns how many.
  virtual uint64_t skip(uint64_t count, abort_callback& abort);
  // slot 4: passes over exactly `count` bytes or throws
  // exception_io_data_truncation.
  virtual void skip_object(uint64_t count, abort_callback& abort);

 protected:
  ~stream_reader() = default;
  // Skips by reading through a 256-byte scratch buffer.
  uint64_t skip_by_reading(uint64_t count, abort_callback& abort);
};

class BRENMOOR_SHARED stream_writer {
 public:
  // slot 1: writes all `count` bytes; failures are thrown.
  virtual void write(const void* buffer, uint32_t count, abort_callback& abort) = 0;

 protected:
  ~stream_writer() = default;
};

class BRENMOOR_SHARED file : public service_base, public stream_reader, public stream_writer {
 public:
  static constexpr GUID class_guid = {
      0xB2F9FC40, 0x3E55, 0x4B23, {0xA2, 0xC9, 0x22, 0xBA, 0xAD, 0x87, 0x95, 0xB1}};

  // slot 4: the length, or unknown_size.
  virtual uint64_t get_size(abort_callback& abort) = 0;
  // slot 5
  virtual uint64_t get_position(abort_callback& abort) = 0;
  // slot 6: makes the file exactly `size` bytes long.
  virtual void resize(uint64_t size, abort_callback& abort) = 0;
  // slot 7
  virtual void seek(uint64_t position, abort_callback& abort) = 0;
  // slot 8: seeks relative to an origin. Throws exception_io_no_length from
  // the end of a file of unknown size, exception_io_data for an origin other
  // than 0, 1, 2. A target before 0 wraps to a huge position, which files
  // clamp to their end.
  virtual void seek_relative(int64_t offset, seek_origin origin, abort_callback& abort);
  // slot 9
  virtual bool can_seek() = 0;
  // slot 10: a host query; the in-memory file answers false.
  virtual bool get_extra_info(void* info) = 0;
  // slot 11
  virtual bool is_in_memory() = 0;
  // slot 12: a host notification; the in-memory file ignores it.
  virtual void on_hint(void* hint) = 0;
  // slot 13: the time stamp in the host's form (100 ns since 1601 here).
  virtual uint64_t get_timestamp(abort_callback& abort) = 0;
  // slot 14: starts reading again from the beginning.
  virtual void reopen(abort_callback& abort) = 0;
  // slot 15
  virtual bool is_remote() = 0;
  // slot 16: skips more than 1024 bytes of a seekable file of known size by
  // one seek, stopping at the end; shorter skips read through. Declared
  // last so that it takes the slot after is_remote.
  uint64_t skip(uint64_t count, abort_callback& abort) override;

 protected:
  ~file() = default;
};

using file_ptr = service_ptr_t<file>;

}  // namespace sonovale_io
