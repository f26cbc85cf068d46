#include "formats/gzip_reader.h"

#include <cstring>
#include <new>

namespace {

// A gzip file holds at least a 10-byte header and an 8-byte trailer.
constexpr int32_t min_gzip_size = 18;
constexpr int trailer_size = 8;
// 15 window bits for a 32 KiB window, plus 16: the gzip wrapper only.
constexpr int gzip_window_bits = 31;
// Sizes with the top bit of ISIZE set are refused.
constexpr uint32_t max_announced_size = 0x7FFFFFFF;

bool starts_member(const uint8_t* p) {
  return p[0] == 0x1F && p[1] == 0x8B;
}

}  // namespace

// zError indexes a fixed table, so it is only asked about the codes that
// table covers.
error_text zlib_error_text(int code) {
  switch (code) {
    case Z_MEM_ERROR: return err_out_of_memory;
    case Z_DATA_ERROR: return err_corrupt_file;
    default: break;
  }
  if (code >= Z_VERSION_ERROR && code <= Z_NEED_DICT) {
    const char* text = zError(code);
    if (text != nullptr && text[0] != '\0') return text;
  }
  return err_unzip_failed;
}

Gzip_Reader::~Gzip_Reader() {
  end_inflation();
}

void Gzip_Reader::end_inflation() {
  if (active_) {
    active_ = false;
    inflateEnd(&stream_);
  }
  buffer_.set_size(0);
  stream_ = z_stream{};
}

error_text Gzip_Reader::open(File_Reader& source) {
  end_inflation();
  source_ = &source;
  ended_ = false;
  set_remain(0);

  // The stream is always decoded from the first byte of the file.
  if (source.tell() != 0) {
    if (error_text error = source.seek(0)) return error;
  }

  try {
    buffer_.set_size(buffer_size);
  } catch (const std::bad_alloc&) {
    return err_out_of_memory;
  }
  // The first read takes only what recognition needs, into the buffer's
  // tail; later refills use the whole buffer from its start.
  uint8_t* first = buffer_.data() + (buffer_size - first_read_size);
  int32_t got = first_read_size;
  if (error_text error = source.read_avail(first, got)) return error;
  stream_.next_in = first;
  stream_.avail_in = static_cast<uInt>(got);

  if (got < min_gzip_size || !starts_member(first)) {
    // Not gzip: the caller refuses it; nothing is set up.
    buffer_.set_size(0);
    stream_ = z_stream{};
    return nullptr;
  }
  int result = inflateInit2_(&stream_, gzip_window_bits, "1.2.5", static_cast<int>(sizeof stream_));
  if (result != Z_OK) {
    stream_.next_in = nullptr;
    return zlib_error_text(result);
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
  set_remain(announced);
  return nullptr;
}

error_text Gzip_Reader::refill() {
  int32_t got = buffer_size;
  if (error_text error = source_->read_avail(buffer_.data(), got)) return error;
  // The file ended while the member still needed input.
  if (got == 0) return err_corrupt_file;
  stream_.next_in = buffer_.data();
  stream_.avail_in = static_cast<uInt>(got);
  return nullptr;
}

error_text Gzip_Reader::next_member_follows(bool& follows) {
  follows = false;
  if (stream_.avail_in < 2) {
    uint8_t* base = buffer_.data();
    if (stream_.avail_in == 1) base[0] = stream_.next_in[0];
    int32_t got = static_cast<int32_t>(buffer_size - stream_.avail_in);
    if (error_text error = source_->read_avail(base + stream_.avail_in, got)) return error;
    stream_.next_in = base;
    stream_.avail_in += static_cast<uInt>(got);
  }
  follows = stream_.avail_in >= 2 && starts_member(stream_.next_in);
  return nullptr;
}

error_text Gzip_Reader::inflate_some(void* buffer, uint32_t capacity, uint32_t& produced) {
  produced = 0;
  if (capacity == 0 || ended_) return nullptr;
  if (!active_ || stream_.next_in == nullptr) return err_corrupt_file;

  stream_.next_out = static_cast<Bytef*>(buffer);
  stream_.avail_out = capacity;
  error_text error = nullptr;
  for (;;) {
    if (stream_.avail_in == 0) {
      if ((error = refill()) != nullptr) break;
    }
    int result = inflate(&stream_, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      // zlib has checked the member's CRC-32 and length.
      bool follows = false;
      if ((error = next_member_follows(follows)) != nullptr) break;
      if (!follows) {
        produced = capacity - stream_.avail_out;
        end_inflation();
        ended_ = true;
        return nullptr;
      }
      if ((result = inflateReset(&stream_)) != Z_OK) {
        error = zlib_error_text(result);
        break;
      }
      if (stream_.avail_out == 0) break;
      continue;
    }
    if (result != Z_OK) {
      error = zlib_error_text(result);
      break;
    }
    if (stream_.avail_out == 0) break;
    // zlib returns early only when it has used up its input.
    if (stream_.avail_in != 0) {
      error = err_corrupt_file;
      break;
    }
  }
  produced = capacity - stream_.avail_out;
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
