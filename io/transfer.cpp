#include "io/transfer.h"

#include <algorithm>
#include <cstring>

#include "io/file_buffer.h"

namespace sonovale_io {

namespace {
constexpr uint64_t transfer_chunk = 8u << 20;
constexpr uint32_t direct_string_limit = 65536;
// The first storage for content of unknown length, and the least it grows by.
constexpr uint64_t first_growth = 1u << 16;
}  // namespace

uint64_t transfer(stream_reader& source, stream_writer& destination, uint64_t count,
                  abort_callback& abort) {
  if (count == 0) return 0;
  byte_array buffer;
  buffer.set_size(static_cast<uint32_t>(count < transfer_chunk ? count : transfer_chunk));
  uint64_t copied = 0;
  while (copied < count) {
    check_aborted(abort);
    uint64_t left = count - copied;
    uint32_t chunk = static_cast<uint32_t>(left < transfer_chunk ? left : transfer_chunk);
    uint32_t got = source.read(buffer.data(), chunk, abort);
    if (got == 0) break;
    if (got > chunk) got = chunk;  // never trust a source past what it was asked
    destination.write(buffer.data(), got, abort);
    copied += got;
  }
  return copied;
}

void transfer_exact(stream_reader& source, stream_writer& destination, uint64_t count,
                    abort_callback& abort) {
  if (transfer(source, destination, count, abort) != count) throw exception_io_data_truncation();
}

void transfer_file_exact(service_ptr_t<file> source, service_ptr_t<file> destination,
                         uint64_t count, abort_callback& abort) {
  if (count > 1024) {
    uint64_t size = destination->get_size(abort);
    if (size != unknown_size) {
      uint64_t end = destination->get_position(abort) + count;
      if (end < count) throw plix::bad_alloc();  // the end would pass 2^64
      if (end > size) destination->resize(end, abort);
    }
  }
  transfer_exact(*source, *destination, count, abort);
}

void read_exact_in_chunks(stream_reader& source, void* destination, uint64_t count,
                          abort_callback& abort) {
  auto* out = static_cast<uint8_t*>(destination);
  for (uint64_t done = 0; done < count;) {
    check_aborted(abort);
    uint64_t left = count - done;
    uint32_t chunk = static_cast<uint32_t>(left < transfer_chunk ? left : transfer_chunk);
    uint32_t got = source.read(out + done, chunk, abort);
    if (got == 0) throw exception_io_data_truncation();
    if (got > chunk) got = chunk;
    done += got;
  }
}

void read_exact_into_file(stream_reader& source, file_buffer& destination, uint64_t count,
                          bool source_holds_count, abort_callback& abort) {
  uint64_t start = destination.get_position(abort);
  if (count > file_buffer::max_size - start) throw plix::bad_alloc();
  destination.reserve(start + (source_holds_count ? count : std::min(count, first_growth)));
  for (uint64_t done = 0; done < count;) {
    check_aborted(abort);
    uint64_t left = count - done;
    uint64_t room = destination.capacity() - (start + done);
    if (room == 0) {
      // Double what has arrived, within the claim.
      room = std::min(left, std::max(done, first_growth));
      destination.reserve(start + done + room);
    }
    uint32_t chunk = static_cast<uint32_t>(std::min({left, room, transfer_chunk}));
    uint32_t got = source.read(destination.prepare(chunk), chunk, abort);
    if (got == 0) throw exception_io_data_truncation();
    if (got > chunk) got = chunk;
    destination.commit(got);
    done += got;
  }
}

file_ptr read_to_memory(file& source, abort_callback& abort) {
  service_ptr_t<file_buffer> copy =
      new service_impl_t<file_buffer>(0, source.get_timestamp(abort));
  for (;;) {
    check_aborted(abort);
    auto chunk = static_cast<uint32_t>(transfer_chunk);
    uint32_t got = source.read(copy->prepare(chunk), chunk, abort);
    copy->commit(got);
    if (got < chunk) break;
  }
  copy->shrink_to_fit();
  copy->reopen(abort);
  return file_ptr(copy.get_ptr());
}

void read_string_exact(plix::string_base& destination, stream_reader& source, uint32_t count,
                       abort_callback& abort) {
  if (count <= direct_string_limit) {
    char* p = destination.lock_buffer(count);
    try {
      source.read_object(p, count, abort);
    } catch (...) {
      destination.unlock_buffer();
      throw;
    }
    destination.unlock_buffer();
    return;
  }
  // Grow in doubling steps; the limit is 64-bit so that it cannot wrap.
  byte_array temporary;
  uint64_t limit = direct_string_limit;
  uint32_t done = 0;
  for (;;) {
    uint32_t target = static_cast<uint32_t>(limit < count ? limit : count);
    temporary.set_size(target);
    source.read_object(temporary.data() + done, target - done, abort);
    if (target == count) break;
    done = target;
    limit *= 2;
  }
  // The text ends at its first NUL within the bytes read, never past them.
  const char* text = reinterpret_cast<const char*>(temporary.data());
  const void* nul = std::memchr(text, 0, count);
  uint32_t length =
      nul != nullptr ? static_cast<uint32_t>(static_cast<const char*>(nul) - text) : count;
  if (length == plix::infinite_size) throw plix::bad_alloc();
  destination.set_string(text, length);
}

uint32_t limited_reader::read(void* buffer, uint32_t count, abort_callback& abort) {
  if (count > remaining_) count = static_cast<uint32_t>(remaining_);
  uint32_t got = source_.read(buffer, count, abort);
  if (got > count) got = count;
  remaining_ -= got;
  return got;
}

uint64_t limited_reader::skip(uint64_t count, abort_callback& abort) {
  if (count > remaining_) count = remaining_;
  uint64_t got = source_.skip(count, abort);
  if (got > count) got = count;
  remaining_ -= got;
  return got;
}

}  // namespace sonovale_io
