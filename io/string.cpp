#include "io/string.h"

#include <cstring>

#include "io/exceptions.h"

namespace plix {

namespace {

const char empty_text[] = "";

// Bytes of `text` up to `max` or its first NUL.
uint32_t text_length(const char* text, uint32_t max) {
  if (text == nullptr) return 0;
  return static_cast<uint32_t>(strnlen(text, max));
}

}  // namespace

void alloc_standard::make_space(byte_array& storage, uint64_t required) {
  if (storage.size() < required) {
    // The slack must not wrap: requests this close to 2^32 fail.
    if (required + 16 > UINT32_MAX) throw bad_alloc();
    storage.set_size(static_cast<uint32_t>(required + 16));
  } else if (storage.size() > required + 32) {
    storage.set_size(static_cast<uint32_t>(required));
  }
}

void alloc_fast_aggressive::make_space(byte_array& storage, uint64_t required) {
  if (required > UINT32_MAX) throw bad_alloc();
  uint32_t capacity = storage.allocated() == 0 ? 1 : storage.allocated();
  while (capacity < required) {
    if (capacity & 0x80000000u) throw bad_alloc();
    capacity *= 2;
  }
  storage.reallocate(capacity);
  storage.set_size_in_use(static_cast<uint32_t>(required));
}

template <typename alloc>
bool string8_t<alloc>::points_inside(const char* text) const {
  const char* begin = reinterpret_cast<const char*>(storage_.data());
  return begin != nullptr && text >= begin && text < begin + storage_.allocated();
}

template <typename alloc>
void string8_t<alloc>::add_string(const char* text, uint32_t max) {
  if (points_inside(text)) {
    string8_t<alloc_standard> copy(text, max);
    add_string(copy.get_ptr(), infinite_size);
    return;
  }
  uint32_t n = text_length(text, max);
  uint64_t required = uint64_t{length_} + n + 1;
  if (required > UINT32_MAX) throw bad_alloc();
  alloc::make_space(storage_, required);
  char* data = reinterpret_cast<char*>(storage_.data());
  if (n != 0) std::memcpy(data + length_, text, n);
  length_ += n;
  data[length_] = 0;
}

template <typename alloc>
const char* string8_t<alloc>::get_ptr() const {
  return length_ == 0 ? empty_text : reinterpret_cast<const char*>(storage_.data());
}

template <typename alloc>
void string8_t<alloc>::set_string(const char* text, uint32_t max) {
  if (points_inside(text)) {
    string8_t<alloc_standard> copy(text, max);
    set_string(copy.get_ptr(), copy.get_length());
    return;
  }
  uint32_t n = text_length(text, max);
  if (uint64_t{n} + 1 > UINT32_MAX) throw bad_alloc();
  alloc::make_space(storage_, uint64_t{n} + 1);
  char* data = reinterpret_cast<char*>(storage_.data());
  if (n != 0) std::memcpy(data, text, n);
  length_ = n;
  data[n] = 0;
}

template <typename alloc>
void string8_t<alloc>::truncate(uint32_t new_length) {
  if (new_length >= length_) return;
  length_ = new_length;
  reinterpret_cast<char*>(storage_.data())[new_length] = 0;
  alloc::make_space(storage_, uint64_t{new_length} + 1);
}

template <typename alloc>
char* string8_t<alloc>::lock_buffer(uint32_t n) {
  if (n == infinite_size) throw exception_overflow();
  alloc::make_space(storage_, uint64_t{n} + 1);
  std::memset(storage_.data(), 0, storage_.size());
  return reinterpret_cast<char*>(storage_.data());
}

template <typename alloc>
void string8_t<alloc>::unlock_buffer() {
  if (storage_.size() == 0) return;
  // Only the storage in use is searched: bytes past it were never zeroed.
  const void* nul = std::memchr(storage_.data(), 0, storage_.size());
  length_ = nul != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - storage_.data())
                           : storage_.size();
  alloc::make_space(storage_, uint64_t{length_} + 1);
  reinterpret_cast<char*>(storage_.data())[length_] = 0;
}

template class string8_t<alloc_standard>;
template class string8_t<alloc_fast_aggressive>;

}  // namespace plix
