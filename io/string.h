// UTF-8 strings: the `string_base` interface and its implementation.
//
// Texts are NUL-terminated byte strings; no operation looks at UTF-8
// sequence boundaries. `string8_t` is instantiated with two growth policies:
// `alloc_standard` (exact sizing, 16 bytes of slack, lazy shrinking) and
// `alloc_fast_aggressive` (doubling, never shrinking).
#pragma once

#include <cstdint>

#include "abi/visibility.h"
#include "io/byte_array.h"

namespace plix {

// The max argument that means "up to the terminating NUL".
constexpr uint32_t infinite_size = UINT32_MAX;

class BRENMOOR_SHARED string_receiver {
 public:
  // slot 1: appends the bytes of `text` up to `max` or its first NUL.
  virtual void add_string(const char* text, uint32_t max = infinite_size) = 0;

 protected:
  ~string_receiver() = default;
};

// The text interface shared with the host. The slot order is the binary
// contract; there is no virtual destructor.
class BRENMOOR_SHARED string_base : public string_receiver {
 public:
  // slot 2: the NUL-terminated content; never null.
  virtual const char* get_ptr() const = 0;
  // slot 3: replaces the content with `text` up to `max` or its first NUL.
  virtual void set_string(const char* text, uint32_t max = infinite_size) = 0;
  // slot 4: cuts the text to `new_length` bytes when it is longer.
  virtual void truncate(uint32_t new_length) = 0;
  // slot 5
  virtual uint32_t get_length() const = 0;
  // slot 6: storage for writing up to `n` bytes directly, all zeroed. Throws
  // exception_overflow for n = infinite_size.
  virtual char* lock_buffer(uint32_t n) = 0;
  // slot 7: takes the length from the first NUL written after lock_buffer.
  virtual void unlock_buffer() = 0;

  // Convenience for callers.
  void reset() { truncate(0); }
  bool is_empty() const { return get_length() == 0; }
  string_base& operator=(const char* text) {
    set_string(text);
    return *this;
  }
  string_base& operator+=(const char* text) {
    add_string(text);
    return *this;
  }

 protected:
  string_base() = default;
  string_base(const string_base&) = default;
  string_base& operator=(const string_base&) = default;
  ~string_base() = default;
};

// Exact sizing with 16 bytes of slack on growth; shrinks only when more
// than 32 bytes would be wasted.
struct alloc_standard {
  static void make_space(byte_array& storage, uint64_t required);
};

// Doubling capacity from 1; the block never shrinks.
struct alloc_fast_aggressive {
  static void make_space(byte_array& storage, uint64_t required);
};

template <typename alloc = alloc_standard>
class string8_t final : public string_base {
 public:
  string8_t() = default;
  string8_t(const char* text, uint32_t max = infinite_size) { set_string(text, max); }  // NOLINT
  string8_t(const string8_t& other) : string_base() { set_string(other.get_ptr(), other.length_); }
  string8_t& operator=(const string8_t& other) {
    set_string(other.get_ptr(), other.length_);
    return *this;
  }
  string8_t& operator=(const char* text) {
    set_string(text);
    return *this;
  }

  void add_string(const char* text, uint32_t max = infinite_size) override;
  const char* get_ptr() const override;
  void set_string(const char* text, uint32_t max = infinite_size) override;
  void truncate(uint32_t new_length) override;
  uint32_t get_length() const override { return length_; }
  char* lock_buffer(uint32_t n) override;
  void unlock_buffer() override;

  // The heap block's size, for tests of the growth policies.
  uint32_t capacity() const { return storage_.allocated(); }

 private:
  bool points_inside(const char* text) const;

  byte_array storage_;
  uint32_t length_ = 0;
};

extern template class string8_t<alloc_standard>;
extern template class string8_t<alloc_fast_aggressive>;

using string8 = string8_t<alloc_standard>;
using string8_fastalloc = string8_t<alloc_fast_aggressive>;

}  // namespace plix
