#include "tools/member_stream.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>

#include "tools/member_listing.h"

using namespace sonovale_io;

namespace {

// A pass that nobody takes a member from for this long ends, so that an
// idle mount holds no member's content and no decoder.
constexpr auto idle_limit = std::chrono::seconds(5);
// How often a waiting open looks at its own abort.
constexpr auto abort_poll = std::chrono::milliseconds(50);
// The members passed over that a pass keeps, in bytes of content.
constexpr uint64_t skipped_budget = uint64_t{256} << 20;

// The host's abort, or the pass's own stop request.
class pass_abort : public abort_callback {
 public:
  pass_abort(const abort_callback& host, const std::atomic<bool>& stop)
      : host_(host), stop_(stop) {}
  bool is_aborting() const override { return stop_.load() || host_.is_aborting(); }
  void* get_abort_event() const override { return nullptr; }

 private:
  const abort_callback& host_;
  const std::atomic<bool>& stop_;
};

}  // namespace

// Offers each member to the opens: holds it until an open takes it, an
// open waits for a later member (it is then kept, within the budget), or
// nobody takes anything for a while (the pass ends).
class member_stream::pass_callback : public host_member_callback {
 public:
  pass_callback(member_stream& owner, abort_callback& abort)
      : host_member_callback(abort), owner_(owner) {}

 protected:
  bool handle(archive*, const char*, const file_stats& stats, file_ptr& reader) override {
    member_stream& s = owner_;
    std::unique_lock<std::mutex> lock(s.mutex_);
    uint32_t ordinal = s.next_++;
    s.held_ = reader;
    s.held_ordinal_ = ordinal;
    s.changed_.notify_all();
    uint64_t takes = s.takes_;
    auto deadline = std::chrono::steady_clock::now() + idle_limit;
    for (;;) {
      if (s.held_ordinal_ != ordinal) return !s.stopping_;  // taken
      if (s.stopping_) return false;
      bool later_wanted = !s.wanted_.empty() && *s.wanted_.rbegin() > ordinal;
      if (later_wanted && s.wanted_.count(ordinal) == 0) {
        if (s.skipped_bytes_ + stats.size <= skipped_budget) {
          s.skipped_bytes_ += stats.size;
          s.skipped_.emplace(ordinal, std::move(s.held_));
        }
        s.held_.release();
        s.held_ordinal_.reset();
        return true;
      }
      if (s.takes_ != takes) {
        // Members kept earlier are being taken: the program is still busy.
        takes = s.takes_;
        deadline = std::chrono::steady_clock::now() + idle_limit;
      }
      if (s.wanted_.empty() && std::chrono::steady_clock::now() >= deadline) return false;
      s.changed_.wait_until(lock, deadline);
    }
  }

 private:
  member_stream& owner_;
};

member_stream::member_stream(sonovale_host& host) : host_(host) {}

member_stream::~member_stream() {
  stop();
  std::lock_guard<std::mutex> lock(mutex_);
  drop_members();
}

void member_stream::drop_members() {
  held_.release();
  held_ordinal_.reset();
  skipped_.clear();
  skipped_bytes_ = 0;
}

void member_stream::start(const std::string& archive_path) {
  drop_members();
  archive_ = archive_path;
  running_ = true;
  listing_ = true;
  stopping_ = false;
  stop_flag_.store(false);
  next_ = 0;
  // The thread inherits a mask that blocks every signal, so the stop
  // signals reach the thread that ends the FUSE loop.
  sigset_t all, before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  try {
    thread_ = std::thread([this, archive_path] { run(archive_path); });
  } catch (...) {
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    running_ = listing_ = false;
    throw;
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void member_stream::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stop_flag_.store(true);
    changed_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void member_stream::run(std::string archive_path) {
  pass_abort abort(host_.abort(), stop_flag_);
  try {
    archive_impl& a = require_archive(host_, archive_path);
    pass_callback callback(*this, abort);
    callback.run(a, archive_path, {}, true);
  } catch (...) {
    // The opens that waited open their members themselves, and meet (and
    // report) the failure there.
  }
  std::unique_lock<std::mutex> lock(mutex_);
  listing_ = false;
  held_.release();
  held_ordinal_.reset();
  changed_.notify_all();
  // The kept members stay while the program still takes them.
  uint64_t takes = takes_;
  auto deadline = std::chrono::steady_clock::now() + idle_limit;
  while (!stopping_ && !skipped_.empty()) {
    if (takes_ != takes) {
      takes = takes_;
      deadline = std::chrono::steady_clock::now() + idle_limit;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    changed_.wait_until(lock, deadline);
  }
  drop_members();
  running_ = false;
  changed_.notify_all();
}

file_ptr member_stream::take(const std::string& archive_path, uint32_t ordinal,
                             const abort_callback& abort) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto last = last_opened_.find(archive_path);
  bool in_order = last != last_opened_.end() && last->second + 1 == ordinal;
  last_opened_[archive_path] = ordinal;
  if (archive_ == archive_path) {
    auto kept = skipped_.find(ordinal);
    if (kept != skipped_.end()) {
      file_ptr result = std::move(kept->second);
      skipped_.erase(kept);
      ++takes_;
      changed_.notify_all();
      return result;
    }
  }
  bool ours = listing_ && !stopping_ && archive_ == archive_path;
  if (!(ours && (held_ordinal_ == ordinal || next_ <= ordinal))) {
    // A pass over this archive that is past the member stays for the
    // program it serves; this open opens its member itself.
    if (!in_order || ours) return {};
    lock.unlock();
    std::lock_guard<std::mutex> starting(thread_mutex_);
    stop();
    lock.lock();
    start(archive_path);
  }
  wanted_.insert(ordinal);
  changed_.notify_all();
  file_ptr result;
  for (;;) {
    if (held_ordinal_ == ordinal && held_.is_valid()) {
      result = std::move(held_);
      held_ordinal_.reset();
      ++takes_;
      break;
    }
    if (!listing_ || stopping_ || archive_ != archive_path || next_ > ordinal) break;
    if (abort.is_aborting()) break;
    changed_.wait_for(lock, abort_poll);
  }
  wanted_.erase(wanted_.find(ordinal));
  changed_.notify_all();
  return result;
}
