#include "formats/tar/tar_pax.h"

bool pax_record_reader::next() {
  if (malformed_ || rest_.empty() || rest_[0] == '\0') return false;
  size_t digits = 0;
  uint64_t length = 0;
  while (digits < rest_.size() && rest_[digits] >= '0' && rest_[digits] <= '9') {
    length = length * 10 + static_cast<uint64_t>(rest_[digits] - '0');
    // Once past the set the length is wrong however it goes on.
    if (length > rest_.size()) return refuse();
    ++digits;
  }
  if (digits == 0 || digits == rest_.size() || rest_[digits] != ' ') return refuse();
  // The shortest record after the space is "=" and the newline.
  if (length < digits + 3) return refuse();
  std::string_view text = rest_.substr(digits + 1, length - digits - 1);
  size_t equals = text.find('=');
  if (equals == std::string_view::npos || text.back() != '\n') return refuse();
  key_ = text.substr(0, equals);
  // The newline is the last byte, so it is not the "=".
  value_ = text.substr(equals + 1, text.size() - 2 - equals);
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
