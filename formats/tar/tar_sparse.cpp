#include "formats/tar/tar_sparse.h"

#include <string>

#include "formats/tar/tar_header.h"
#include "formats/tar/tar_pax.h"
#include "io/transfer.h"

using namespace sonovale_io;

bool add_gnu_sparse_entries(const uint8_t* entries, uint32_t count, tar_sparse_map& map) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = entries + i * tar_sparse_entry_width;
    // GNU tar ends the map at the first entry without a byte count.
    if (entry[tar_number_width] == 0) return false;
    int64_t offset = parse_tar_number(entry, tar_number_width);
    int64_t length = parse_tar_number(entry + tar_number_width, tar_number_width);
    if (offset < 0 || length < 0) throw exception_io_data();
    map.push_back({static_cast<uint64_t>(offset), static_cast<uint64_t>(length)});
  }
  return true;
}

void add_sparse_map_list(std::string_view text, tar_sparse_map& map) {
  uint64_t numbers[2];
  int have = 0;
  for (;;) {
    size_t comma = text.find(',');
    if (!parse_pax_decimal(text.substr(0, comma), numbers[have])) throw exception_io_data();
    if (++have == 2) {
      map.push_back({numbers[0], numbers[1]});
      have = 0;
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (have != 0) throw exception_io_data();
}

namespace {

// The decimal lines of a GNU sparse 1.0 map, read a block at a time.
class map_lines {
 public:
  map_lines(file& archive, uint64_t stored_size, abort_callback& abort)
      : archive_(archive), stored_size_(stored_size), abort_(abort) {}

  // The next line's number. Reads further blocks as the line needs them.
  uint64_t next() {
    size_t start = position_;
    for (;; ++position_) {
      if (position_ == text_.size()) read_block();
      char c = text_[position_];
      if (c == '\n') break;
      if (c < '0' || c > '9') throw exception_io_data();
    }
    uint64_t value;
    if (!parse_pax_decimal(std::string_view(text_).substr(start, position_ - start), value))
      throw exception_io_data();
    ++position_;
    return value;
  }

  uint64_t bytes_read() const { return text_.size(); }

 private:
  void read_block() {
    uint64_t grown = text_.size() + tar_block_size;
    if (grown > stored_size_ || grown > tar_pax_limit) throw exception_io_data();
    char block[tar_block_size];
    archive_.read_object(block, tar_block_size, abort_);
    text_.append(block, tar_block_size);
  }

  file& archive_;
  uint64_t stored_size_;
  abort_callback& abort_;
  std::string text_;
  size_t position_ = 0;
};

}  // namespace

uint64_t read_sparse_map_blocks(file& archive, uint64_t stored_size, tar_sparse_map& map,
                                abort_callback& abort) {
  map_lines lines(archive, stored_size, abort);
  // No reservation from the count: each segment takes at least four bytes
  // of text, which the size limit bounds.
  uint64_t count = lines.next();
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t offset = lines.next();
    map.push_back({offset, lines.next()});
  }
  return lines.bytes_read();
}

void check_sparse_map(tar_sparse_map& map, uint64_t size, uint64_t stored_size) {
  uint64_t end = 0;
  uint64_t stored = 0;
  for (const tar_segment& s : map) {
    if (s.offset < end) throw exception_io_data();
    if (s.length > size || s.offset > size - s.length) throw exception_io_data();
    if (s.length > stored_size - stored) throw exception_io_data();
    end = s.offset + s.length;
    stored += s.length;
  }
  if (map.empty()) map.push_back({size, 0});
}

void place_sparse_segments(file& archive, const tar_sparse_map& map, uint8_t* content,
                           abort_callback& abort) {
  for (const tar_segment& s : map)
    read_exact_in_chunks(archive, content + s.offset, s.length, abort);
}
