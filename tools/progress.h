// The progress line: bytes of the source read so far, of its size, and the
// rate, shown on standard error while a command runs longer than a second.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "host/native_filesystem.h"

// Watches `fs`'s count of bytes read from construction on. When `enabled`,
// a thread redraws the line every 200 ms once a second has passed; the
// destructor stops it and erases the line. `total` is the source's size,
// or unknown_size.
class progress_line {
 public:
  progress_line(const native_filesystem& fs, uint64_t total, bool enabled);
  ~progress_line();
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

 private:
  void run();

  const native_filesystem& fs_;
  uint64_t total_;
  uint64_t start_bytes_;
  std::chrono::steady_clock::time_point start_time_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};
