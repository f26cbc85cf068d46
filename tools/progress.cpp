#include "tools/progress.h"

#include <pthread.h>
#include <signal.h>

#include <string>

#include "tools/output.h"

namespace {
constexpr auto show_after = std::chrono::seconds(1);
constexpr auto redraw_every = std::chrono::milliseconds(200);
}  // namespace

progress_line::progress_line(const native_filesystem& fs, uint64_t total, bool enabled)
    : fs_(fs),
      total_(total),
      start_bytes_(fs.bytes_read()),
      start_time_(std::chrono::steady_clock::now()) {
  if (!enabled) return;
  // The thread inherits a mask that blocks every signal, so signals go to
  // the main thread, where they interrupt the system call that waits.
  sigset_t all, before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    throw;
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

progress_line::~progress_line() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
  status_line_clear();
}

void progress_line::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wake_.wait_for(lock, show_after, [this] { return stop_; })) return;
  do {
    uint64_t done = fs_.bytes_read() - start_bytes_;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_time_).count();
    std::string text = "brenmoor: read " + format_bytes(done);
    // The source may be read more than once (listing, then opening), so
    // the share is capped at 100%.
    if (total_ != sonovale_io::unknown_size && total_ != 0) {
      uint64_t percent = done >= total_ ? 100 : done * 100 / total_;
      text += " of " + format_bytes(total_) + " (" + std::to_string(percent) + "%)";
    }
    text += ", " + format_bytes(static_cast<uint64_t>(static_cast<double>(done) / seconds)) + "/s";
    status_line_show(text);
  } while (!wake_.wait_for(lock, redraw_every, [this] { return stop_; }));
}
