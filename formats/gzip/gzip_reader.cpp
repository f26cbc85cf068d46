#include "formats/gzip/gzip_reader.h"

#include <new>

namespace {

// A gzip file holds at least a 10-byte header and an 8-byte trailer.
constexpr int32_t min_gzip_size = 18;
constexpr int trailer_size = 8;
// Sizes with the top bit of ISIZE set are refused.
constexpr uint32_t max_announced_size = 0x7FFFFFFF;

bool starts_member(const uint8_t* p) {
  return p[0] == 0x1F && p[1] == 0x8B;
}

}  // namespace

Gzip_Reader::~Gzip_Reader() {
  end_inflation();
}

void Gzip_Reader::end_inflation() {
  active_ = false;
  inflater_.reset();
}

error_text Gzip_Reader::open(File_Reader& source) {
  end_inflation();
  ended_ = false;
  set_remain(0);

  // The stream is always decoded from the first byte of the file.
  if (source.tell() != 0) {
    if (error_text error = source.seek(0)) return error;
  }

  // The first read takes only what recognition needs.
  uint8_t first[first_read_size];
  int32_t got = first_read_size;
  if (error_text error = source.read_avail(first, got)) return error;
  // Not gzip: the caller refuses it; nothing is set up.
  if (got < min_gzip_size || !starts_member(first)) return nullptr;

  try {
    inflater_ = std::make_unique<gzip_inflater>();
  } catch (const std::bad_alloc&) {
    return err_out_of_memory;
  }
  active_ = true;

  // ISIZE: the last 4 bytes of the file, little-endian.
  uint64_t resume = source.tell();
  uint8_t trailer[trailer_size];
  if (error_text error = source.seek(source.size() - trailer_size)) return error;
  if (error_text error = source.read(trailer, trailer_size)) return error;
  if (error_text error = source.seek(resume)) return error;
  uint32_t announced = uint32_t{trailer[4]} | uint32_t{trailer[5]} << 8 |
                       uint32_t{trailer[6]} << 16 | uint32_t{trailer[7]} << 24;
  if (announced > max_announced_size) return err_gzip_too_large;
  if (error_text error = inflater_->start(source, first, static_cast<uint32_t>(got))) return error;
  set_remain(announced);
  return nullptr;
}

error_text Gzip_Reader::inflate_some(void* buffer, uint32_t capacity, uint32_t& produced) {
  produced = 0;
  if (capacity == 0 || ended_) return nullptr;
  if (!active_) return err_corrupt_file;
  error_text error = inflater_->inflate_some(static_cast<uint8_t*>(buffer), capacity, produced);
  if (error == nullptr && inflater_->ended()) {
    end_inflation();
    ended_ = true;
  }
  return error;
}

error_text Gzip_Reader::do_read(void* buffer, int32_t n) {
  if (n <= 0) return nullptr;
  uint32_t produced = 0;
  if (error_text error = inflate_some(buffer, static_cast<uint32_t>(n), produced)) return error;
  // The data ended before `n` bytes.
  if (produced != static_cast<uint32_t>(n)) return err_corrupt_file;
  return nullptr;
}
