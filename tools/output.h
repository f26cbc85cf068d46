// What the command-line host writes: standard output through one buffer,
// error lines, the progress line, and the text forms of names, sizes and
// time stamps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "io/abort.h"

// Thrown when standard output's reader has gone (a closed pipe). The
// program then ends quietly.
struct output_closed {};

// Standard output. Bytes are collected and written in large pieces; when
// `line_flush` is set (a terminal) each completed line goes out at once.
// A write that would block waits on `wake_fd` (readable once `abort` is
// set; -1 for none) too, and throws exception_aborted when `abort` is set;
// a closed pipe throws output_closed.
void output_setup(const abort_callback* abort, int wake_fd, bool line_flush);
void output_write(std::string_view bytes);
void output_flush();

// Writes "brenmoor: <path>: <message>" to standard error, after flushing
// standard output and erasing the progress line, so the two streams read
// in order on one terminal. Names are escaped with human_text.
void report_error(std::string_view path, std::string_view message);
// "brenmoor: <message>", for errors that concern no path.
void report_message(std::string_view message);

// The one-line indicator on standard error: shown replaces it, cleared
// erases it. Both may be called from another thread.
void status_line_show(const std::string& text);
void status_line_clear();

// A JSON string literal for arbitrary bytes: valid UTF-8 is kept, with
// '"', '\' and control characters escaped (\n, \t, ... or \u00XX); every
// byte that is not part of a valid UTF-8 sequence becomes \uDCXX, XX being
// the byte in hex (the lone low surrogate that Python's "surrogateescape"
// error handler uses, so the bytes can be recovered exactly).
std::string json_string(std::string_view bytes);

// Names for people: control bytes become C escapes (\n, \t, \177, ...) and
// a backslash is doubled; everything else, invalid UTF-8 included, is kept.
std::string human_text(std::string_view bytes);

// A time stamp (100 ns since 1601-01-01 UTC) as "YYYY-MM-DDTHH:MM:SSZ";
// "unknown" for all ones, and for times time_t cannot hold (a 32-bit
// time_t holds 1901-12-13 to 2038-01-19).
std::string format_time(uint64_t timestamp);

// A byte count as "1.5 MiB"; below 1 KiB as "123 B".
std::string format_bytes(uint64_t bytes);
