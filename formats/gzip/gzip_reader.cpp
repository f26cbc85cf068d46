#include "formats/gzip/gzip_reader.h"

#include <new>

#include "formats/gzip/gzip_format.h"

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
  gzip_start start;
  if (error_text error = gzip_read_start(source, start)) return error;
  // Not gzip: the caller refuses it; nothing is set up.
  if (!start.is_gzip) return nullptr;

  try {
    inflater_ = std::make_unique<gzip_inflater>();
  } catch (const std::bad_alloc&) {
    return err_out_of_memory;
  }
  active_ = true;

  uint32_t announced = 0;
  if (error_text error = gzip_read_announced_size(source, announced)) return error;
  if (error_text error = inflater_->start(source, start.first, start.count)) return error;
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
