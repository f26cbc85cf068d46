#include "archive/content_output.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "io/file_buffer.h"

using namespace sonovale_io;

namespace {

// The first size of an in-memory file whose content's size is unknown,
// and the least it grows by.
constexpr uint64_t min_growth = 1 << 20;

void decode_in_place(view_pass& pass, uint64_t expected, file_buffer& out, abort_callback& abort) {
  uint64_t position = out.get_position(abort);
  uint64_t first = expected != unknown_size ? expected : min_growth;
  out.reserve(std::min(position + std::min(first, file_buffer::max_size), file_buffer::max_size));
  for (;;) {
    auto room = static_cast<uint32_t>(out.capacity() - position);
    if (room != 0) {
      size_t got = pass.decode(out.prepare(room), room, abort);
      out.commit(static_cast<uint32_t>(got));
      position += got;
      if (got < room) break;
      continue;
    }
    // The storage is full. Learn whether more content follows before
    // growing, so that a correct announcement costs one allocation.
    uint8_t probe[4096];
    size_t got = pass.decode(probe, sizeof probe, abort);
    if (got != 0) out.write(probe, static_cast<uint32_t>(got), abort);
    position += got;
    if (got < sizeof probe) break;
  }
  out.shrink_to_fit();
}

}  // namespace

void decode_content_into(view_pass& pass, uint64_t expected, file& out, abort_callback& abort,
                         uint32_t largest_write) {
  if (auto* memory = dynamic_cast<file_buffer*>(&out)) {
    decode_in_place(pass, expected, *memory, abort);
    return;
  }
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[largest_write]);
  for (;;) {
    size_t got = pass.decode(chunk.get(), largest_write, abort);
    if (got != 0) out.write(chunk.get(), static_cast<uint32_t>(got), abort);
    if (got < largest_write) break;
  }
}
