// The gzip stream decoder: a Data_Reader that inflates a gzip file, read
// through a File_Reader, with the gzip inflater (ISA-L, judged by zlib).
//
// The size is learnt before any inflation from the trailer in the file's
// last 8 bytes (ISIZE, the size modulo 2^32), so `remain` is known at once.
// That is a cheap guess, not a promise: inflation runs until the end of a
// member, where its CRC-32 and length are checked. A file is a series of
// members (RFC 1952 section 2.2); members that follow directly are inflated
// too, and trailing bytes that do not start a member (zero padding,
// garbage) end the data, as `gzip -d` does. For such files the announced
// size is the last member's. Like the rest of its family the decoder never
// throws an exception of its own: every operation returns an error text.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/data_reader.h"
#include "formats/gzip/gzip_inflater.h"

class Gzip_Reader : public Data_Reader {
 public:
  Gzip_Reader() = default;
  // Ends the inflation and releases the inflater.
  ~Gzip_Reader() override;

  // Sets the reader up on `source`, ending any earlier inflation. The
  // source is moved back to its first byte; `source` must outlive the
  // reader's use. On success active() tells whether the data is gzip (at
  // least 18 bytes starting 0x1F 0x8B); when it is, remain() is the size
  // that the file's trailer announces. Errors: " unsupported file feature;
  // gzip larger than 2GB" for an announced size of 2^31 or more, " out of
  // memory", zlib's texts, and the source's texts unchanged.
  error_text open(File_Reader& source);

  // True from a successful open of gzip data until the data has ended.
  bool active() const { return active_; }

  // Inflates up to `capacity` bytes into `buffer`, across member boundaries,
  // and stores the count in `produced`. Fewer than `capacity` only when the
  // data has ended; ended() then turns true. Bytes of `buffer` past
  // `produced` may be changed (ISA-L writes a few bytes ahead). Ignores
  // remain() and leaves it alone. Errors: " corrupt file" for bad data, a
  // member cut short or a reader that was not opened on gzip data; " out of
  // memory"; zlib's texts; the source's texts. After an error the reader
  // must not be read again.
  // Throws only what the source lets through (the user's abort, bad_alloc).
  error_text inflate_some(void* buffer, uint32_t capacity, uint32_t& produced);

  // True once the last member has ended.
  bool ended() const { return ended_; }

 protected:
  // Delivers exactly `n` inflated bytes; " corrupt file" when the data ends
  // before them.
  error_text do_read(void* buffer, int32_t n) override;

 private:
  // Ends the inflation and releases the inflater.
  void end_inflation();

  std::unique_ptr<gzip_inflater> inflater_;
  bool active_ = false;
  bool ended_ = false;
};
