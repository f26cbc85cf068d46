// pax extended header records: the data of "x" and "g" entries.
//
// A record set is a run of records "LEN KEY=VALUE\n", where LEN is the
// decimal length of the whole record, LEN itself and the newline included.
// Values are bytes (UTF-8 text for names); an empty value removes the key.
#pragma once

#include <cstdint>
#include <string_view>

// Record sets larger than this are refused before they are read.
constexpr uint64_t tar_pax_limit = 1 << 20;

// Steps through one record set, which must outlive the reader.
class pax_record_reader {
 public:
  explicit pax_record_reader(std::string_view records) : rest_(records) {}

  // Moves to the next record and returns true with key() and value() set.
  // Returns false at the end of the set, at a NUL byte where a record would
  // start (writers pad sets with NULs), and at a malformed record, which
  // malformed() then reports: no length digits, no space after them, a
  // length shorter than its own text or running past the set, no "=", or a
  // last byte that is not a newline. The newline is not part of the value.
  bool next();
  // True once next() has met a malformed record. The set is then malformed
  // as a whole, the records returned before it included.
  bool malformed() const { return malformed_; }

  std::string_view key() const { return key_; }
  std::string_view value() const { return value_; }

 private:
  bool refuse() {
    malformed_ = true;
    return false;
  }

  std::string_view rest_;
  std::string_view key_;
  std::string_view value_;
  bool malformed_ = false;
};

// Reads a value of decimal digits only, at most 2^63 - 1, into `out`.
// Returns false for anything else (empty, a sign, other bytes, overflow).
bool parse_pax_decimal(std::string_view text, uint64_t& out);
