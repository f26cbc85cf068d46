// The inflater under the gzip decoders (Gzip_Reader, the view passes):
// inflates the members of a gzip file read through a File_Reader, from the
// first member or from a deflate block boundary, with ISA-L where it serves
// and zlib where it cannot, and zlib's verdict on every input: zlib reads
// every member and block header first, and where ISA-L refuses a block,
// zlib alone inflates again from the inflater's starting point
// (docs/design.md). Member trailers are checked against each member's
// CRC-32 and length. Built without ISA-L (BRENMOOR_ISAL 0), zlib alone
// inflates from the start, with the same bytes and errors.
//
// Like the reader layer, it reports failures as error texts: " corrupt
// file" for bad data or data that ends inside a member, " out of memory",
// zlib's other texts, and the source's texts unchanged. It throws only what
// the source lets through (the user's abort, bad_alloc).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "archive/data_reader.h"
#include "io/byte_array.h"

#if BRENMOOR_ISAL
struct inflate_state;
#endif

// zlib's result code as an error text: " out of memory" for Z_MEM_ERROR,
// " corrupt file" for Z_DATA_ERROR, zlib's own text for its other codes.
error_text zlib_error_text(int code);

// A deflate block boundary inside a member, where inflation can resume.
struct gzip_resume_point {
  uint64_t input_offset = 0;  // the first byte of the file not wholly taken
  uint8_t bits = 0;           // unused (top) bits of the byte before it, 0 to 7
  uint8_t byte = 0;           // that byte, when bits is not 0
  uint64_t member = 0;        // the member's number, from 0
  uint64_t member_length = 0;
  uint32_t member_crc = 0;
  uint64_t output_position = 0;
  std::vector<uint8_t> window;  // the member's last output bytes, up to 32 KiB
};

class gzip_inflater {
 public:
  gzip_inflater();
  ~gzip_inflater();
  gzip_inflater(const gzip_inflater&) = delete;
  gzip_inflater& operator=(const gzip_inflater&) = delete;

  // Starts at the first member. `source` stands just past the file's first
  // `count` bytes (at most 128 KiB), given in `first`, which start 0x1F 0x8B.
  // `source` must outlive the inflater's use.
  error_text start(File_Reader& source, const uint8_t* first, uint32_t count);
  // Starts at `point`, recorded by an inflater over the same file; moves the
  // source there.
  error_text resume(File_Reader& source, const gzip_resume_point& point);

  // Inflates up to `capacity` bytes into `out`, across members, and stores
  // the count in `produced`. Fewer than `capacity` only at the end of the
  // data (ended() turns true) or at a boundary asked for with
  // stop_at_boundary_from (at_boundary() turns true). Bytes of `out` past
  // `produced` may be changed: ISA-L writes up to 16 bytes ahead of its
  // output (see keep_bytes_past_output). After an error the inflater must
  // not be used again.
  error_text inflate_some(uint8_t* out, uint32_t capacity, uint32_t& produced);

  // From now on inflate_some leaves the bytes of `out` past `produced` as
  // they were, at the cost of copying ISA-L's output once more through a
  // 128 KiB stage. Errors: " out of memory".
  error_text keep_bytes_past_output();

  bool ended() const { return ended_; }
  // The content position of the next byte inflate_some gives.
  uint64_t output_position() const { return output_; }

  // Makes inflate_some stop at the first block boundary whose content
  // position is `position` or more (the start of a member's first block, or
  // the end of a block that is not its member's last). UINT64_MAX: never.
  void stop_at_boundary_from(uint64_t position) { stop_from_ = position; }
  // True when the last inflate_some stopped at such a boundary.
  bool at_boundary() const { return at_boundary_; }
  // Describes the boundary inflate_some stopped at. Throws std::bad_alloc.
  void describe_boundary(gzip_resume_point& point) const;

 private:
  enum class phase { member_header, block_start, in_block, trailer, done };

  error_text prepare(File_Reader& source);
  // Input
  error_text refill();
  error_text read_more(uint32_t keep);
  error_text ensure_lookahead(uint32_t bytes);
  bool next_member_follows(error_text& error);
  uint64_t cursor_offset() const;
  void set_cursor(uint64_t offset);

  error_text read_trailer(uint32_t crc, uint64_t length);

#if BRENMOOR_ISAL
  // The ISA-L road.
  error_text isal_inflate_some(uint8_t* out, uint32_t capacity, uint32_t& produced);
  error_text read_member_header();
  error_text check_block_header();
  error_text begin_block(const uint8_t* out, uint32_t produced);
  void keep_window(const uint8_t* out, uint32_t produced);
  error_text switch_to_zlib();
#endif

  // The zlib road.
  error_text begin_zlib_road();
  error_text zlib_inflate_some(uint8_t* out, uint32_t capacity, uint32_t& produced);
  error_text zlib_step(uint8_t* out, uint32_t n, int flush, uint32_t& produced);
  error_text zlib_end_member();

  File_Reader* source_ = nullptr;
  byte_array input_;
  uint8_t* next_ = nullptr;  // input cursor of the ISA-L road
  uint32_t avail_ = 0;
  uint64_t buffer_offset_ = 0;  // file offset of input_[0]
  uint32_t buffered_ = 0;       // bytes of input_ holding file data

  z_stream zlib_{};
  bool zlib_live_ = false;
  bool use_zlib_ = false;
  bool zlib_raw_ = false;  // the zlib road inflates raw deflate to the member's end

#if BRENMOOR_ISAL
  // The ISA-L road's state.
  std::unique_ptr<inflate_state> isal_;
  phase phase_ = phase::done;
  uint64_t block_bit_ = 0;  // file bit position of the next block's header
  bool last_block_ = false;
  std::unique_ptr<uint8_t[]> window_;  // the member's last output, up to 32 KiB
  uint32_t window_length_ = 0;
#endif

  // Where this inflater started, for the zlib road to start again.
  bool from_point_ = false;
  gzip_resume_point origin_;
  uint64_t skip_ = 0;  // bytes the zlib road passes over before delivering

  uint64_t member_ = 0;
  uint64_t member_length_ = 0;
  uint32_t member_crc_ = 0;
  std::unique_ptr<uint8_t[]> scratch_;
  std::unique_ptr<uint8_t[]> stage_;  // set by keep_bytes_past_output
  uint64_t output_ = 0;
  uint64_t stop_from_ = UINT64_MAX;
  bool at_boundary_ = false;
  bool ended_ = false;
};
