#include "tools/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "host/host_time.h"
#include "host/native_filesystem.h"
#include "host/write_all.h"

namespace {

const abort_callback* g_abort = nullptr;
int g_wake_fd = -1;
bool g_line_flush = false;
std::string g_buffer;
constexpr size_t buffer_limit = 64 * 1024;

// Guards standard error between the main thread and the progress thread.
std::mutex g_stderr_mutex;
bool g_status_visible = false;

// Standard output: a stalled reader cannot hold the program past an abort
// (write_all waits on the wake descriptor too).
void write_stdout(std::string_view bytes) {
  int error = write_all(STDOUT_FILENO, bytes, g_abort, g_abort != nullptr ? g_wake_fd : -1);
  if (error == EPIPE) throw output_closed();
  if (error != 0) throw exception_io_os(error);
}

// Standard error: a failure there has nowhere left to be reported.
void write_stderr(std::string_view bytes) {
  int ignored = write_all(STDERR_FILENO, bytes, nullptr);
  (void)ignored;
}

// Erases the status line; the caller holds g_stderr_mutex.
void erase_status_locked() {
  if (!g_status_visible) return;
  write_stderr("\r\x1b[K");
  g_status_visible = false;
}

void append_hex_escape(std::string& out, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04x", value);
  out += text;
}

// Length of the valid UTF-8 sequence at `p` (1 to 4), or 0 when the bytes
// there do not start one: overlong forms, surrogates and values past
// U+10FFFF are invalid.
size_t utf8_sequence_length(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t length;
  uint32_t value;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    value = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    value = c & 0x07;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  static constexpr uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < smallest[length] || value > 0x10FFFF) return 0;
  if (value >= 0xD800 && value <= 0xDFFF) return 0;
  return length;
}

}  // namespace

void output_setup(const abort_callback* abort, int wake_fd, bool line_flush) {
  g_abort = abort;
  g_wake_fd = wake_fd;
  g_line_flush = line_flush;
}

void output_write(std::string_view bytes) {
  g_buffer.append(bytes);
  bool line_done = g_line_flush && !bytes.empty() && bytes.back() == '\n';
  if (g_buffer.size() >= buffer_limit || line_done) output_flush();
}

void output_flush() {
  if (g_buffer.empty()) return;
  std::string pending;
  pending.swap(g_buffer);
  write_stdout(pending);
}

void report_error(std::string_view path, std::string_view message) {
  report_message(human_text(path) + ": " + std::string(message));
}

void report_message(std::string_view message) {
  try {
    output_flush();
  } catch (...) {
    // The error still deserves its line; the closed output shows later.
  }
  std::string line = "brenmoor: " + std::string(message) + "\n";
  std::lock_guard<std::mutex> lock(g_stderr_mutex);
  erase_status_locked();
  write_stderr(line);
}

void status_line_show(const std::string& text) {
  std::string line = "\r" + text + "\x1b[K";
  std::lock_guard<std::mutex> lock(g_stderr_mutex);
  write_stderr(line);
  g_status_visible = true;
}

void status_line_clear() {
  std::lock_guard<std::mutex> lock(g_stderr_mutex);
  erase_status_locked();
}

std::string json_string(std::string_view bytes) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0) {
    unsigned char c = *p;
    size_t length = utf8_sequence_length(p, left);
    if (length == 0) {
      append_hex_escape(out, 0xDC00u + c);
      length = 1;
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F) {
      switch (c) {
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: append_hex_escape(out, c);
      }
    } else {
      out.append(reinterpret_cast<const char*>(p), length);
    }
    p += length;
    left -= length;
  }
  out += '"';
  return out;
}

std::string human_text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F) {
      switch (c) {
        case '\a': out += "\\a"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\v': out += "\\v"; break;
        default: {
          char text[8];
          std::snprintf(text, sizeof text, "\\%03o", c);
          out += text;
        }
      }
    } else {
      out += ch;
    }
  }
  return out;
}

std::string format_time(uint64_t timestamp) {
  if (timestamp == UINT64_MAX) return "unknown";
  // A time that time_t cannot hold (a 32-bit one) comes back clamped.
  timespec time = timespec_from_timestamp(timestamp);
  if (timestamp_from_unix(time.tv_sec, static_cast<uint32_t>(time.tv_nsec)) != timestamp) {
    return "unknown";
  }
  time_t seconds = time.tv_sec;
  struct tm utc;
  if (::gmtime_r(&seconds, &utc) == nullptr) return "unknown";
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::string format_bytes(uint64_t bytes) {
  static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}
