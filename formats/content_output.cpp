#include "formats/content_output.h"

#include <algorithm>
#include <cstring>

#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {

// The first size of an in-memory file whose content's size is unknown,
// and the least it grows by.
constexpr uint64_t min_growth = 1 << 20;
// The largest write to a file that is not in memory.
constexpr uint32_t write_chunk = 1 << 16;

void decode_in_place(view_pass& pass, uint64_t expected, file_buffer& out, abort_callback& abort) {
  uint64_t old_size = out.get_size(abort);
  uint64_t position = out.get_position(abort);
  uint64_t first = expected != unknown_size ? expected : min_growth;
  first = std::min<uint64_t>(first, UINT32_MAX - std::min<uint64_t>(position, UINT32_MAX));
  if (position + first > old_size) out.resize(position + first, abort);

  for (;;) {
    uint64_t size = out.get_size(abort);
    if (position < size) {
      size_t room = static_cast<size_t>(size - position);
      size_t got = pass.decode(out.content() + position, room, abort);
      position += got;
      if (got < room) break;
      continue;
    }
    // The storage is full. Learn whether more content follows before
    // growing, so that a correct announcement costs one allocation.
    uint8_t probe[4096];
    size_t got = pass.decode(probe, sizeof probe, abort);
    if (got == 0) break;
    if (size >= UINT32_MAX) throw plix::bad_alloc();
    out.resize(std::min<uint64_t>(size + std::max(size, min_growth), UINT32_MAX), abort);
    std::memcpy(out.content() + position, probe, got);
    position += got;
    if (got < sizeof probe) break;
  }
  out.resize(std::max(old_size, position), abort);
  out.seek(position, abort);
}

}  // namespace

void decode_content_into(view_pass& pass, uint64_t expected, file& out, abort_callback& abort) {
  if (auto* memory = dynamic_cast<file_buffer*>(&out)) {
    decode_in_place(pass, expected, *memory, abort);
    return;
  }
  byte_array chunk;
  chunk.set_size(write_chunk);
  for (;;) {
    size_t got = pass.decode(chunk.data(), write_chunk, abort);
    if (got != 0) out.write(chunk.data(), static_cast<uint32_t>(got), abort);
    if (got < write_chunk) break;
  }
}
