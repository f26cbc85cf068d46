#include "archive/content_fingerprint.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

using namespace sonovale_io;

namespace {

constexpr uint64_t multiplier = 0x9E3779B97F4A7C15;
constexpr uint64_t lane_multiplier = 0x87C37B91114253D5;

uint64_t rotate_left(uint64_t value, int bits) {
  return value << bits | value >> (64 - bits);
}

// Folds `count` bytes at `bytes` into `hash`, eight at a time; a shorter
// tail is zero-padded. Every word goes through a multiply, so a changed
// byte changes every later state.
uint64_t fold(uint64_t hash, const uint8_t* bytes, size_t count) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    hash = rotate_left(hash ^ word * multiplier, 31) * lane_multiplier;
  }
  if (i < count) {
    uint64_t word = 0;
    std::memcpy(&word, bytes + i, count - i);
    hash = rotate_left(hash ^ word * multiplier, 31) * lane_multiplier;
  }
  return hash;
}

uint64_t finish(uint64_t hash) {
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCD;
  hash ^= hash >> 33;
  hash *= 0xC4CEB9FE1A85EC53;
  return hash ^ hash >> 33;
}

}  // namespace

uint64_t content_fingerprint(file& source, uint64_t size, abort_callback& abort) {
  static_assert(content_fingerprint_span % 8 == 0);
  // On the heap: hosts may call from threads with small stacks.
  std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[content_fingerprint_span]);
  if (!storage) throw plix::bad_alloc();
  uint8_t* buffer = storage.get();
  uint64_t hash = fold(0x243F6A8885A308D3, reinterpret_cast<const uint8_t*>(&size), sizeof size);
  auto head = static_cast<uint32_t>(std::min<uint64_t>(size, content_fingerprint_span));
  source.seek(0, abort);
  source.read_object(buffer, head, abort);
  hash = fold(hash, buffer, head);
  // The tail starts after the head, so a small file is read once.
  uint64_t tail_start =
      std::max<uint64_t>(head, size - std::min<uint64_t>(size, content_fingerprint_span));
  auto tail = static_cast<uint32_t>(size - tail_start);
  if (tail != 0) {
    source.seek(tail_start, abort);
    source.read_object(buffer, tail, abort);
    hash = fold(hash, buffer, tail);
  }
  source.seek(0, abort);
  return finish(hash);
}
