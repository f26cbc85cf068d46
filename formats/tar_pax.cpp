#include "formats/tar_pax.h"

#include "io/exceptions.h"

bool pax_record_reader::next() {
  if (rest_.empty() || rest_[0] == '\0') return false;
  size_t digits = 0;
  uint64_t length = 0;
  while (digits < rest_.size() && rest_[digits] >= '0' && rest_[digits] <= '9') {
    length = length * 10 + static_cast<uint64_t>(rest_[digits] - '0');
    // Once past the set the length is wrong however it goes on.
    if (length > rest_.size()) throw sonovale_io::exception_io_data();
    ++digits;
  }
  if (digits == 0 || digits == rest_.size() || rest_[digits] != ' ')
    throw sonovale_io::exception_io_data();
  // The shortest record after the space is "=" and its last byte.
  if (length < digits + 2) throw sonovale_io::exception_io_data();
  std::string_view text = rest_.substr(digits + 1, length - digits - 1);
  size_t equals = text.find('=');
  if (equals == std::string_view::npos) throw sonovale_io::exception_io_data();
  key_ = text.substr(0, equals);
  // The last byte is the newline, unless the "=" is the last byte itself.
  value_ = text.substr(equals + 1, text.size() - 1 > equals ? text.size() - 2 - equals : 0);
  rest_.remove_prefix(length);
  return true;
}

bool parse_pax_decimal(std::string_view text, uint64_t& out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (value > (uint64_t{INT64_MAX} - (c - '0')) / 10) return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  out = value;
  return true;
}
