// Read-ahead for members opened in archive order.
//
// Opening a member by its path walks its archive from the start, so a
// program that reads every member in turn (a copy of the whole tree) would
// pay for the archive once per member. When opens of one archive come in
// listing order, a single listing pass with readers (what `extract` uses)
// runs on its own thread instead and hands each member's content, as the
// module made it, to the open that wants it. The pass holds at most one
// member that nobody has asked for yet; it moves on when an open asks for a
// later member, and stops when nobody takes anything for a while, when an
// open of another archive starts a new pass, or at destruction.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>

#include "host/host.h"

class member_stream {
 public:
  // `host` must outlive the object.
  explicit member_stream(sonovale_host& host);
  // Stops the pass and waits for its thread.
  ~member_stream();
  member_stream(const member_stream&) = delete;
  member_stream& operator=(const member_stream&) = delete;

  // The content of the member that the listing of `archive_path` reports
  // as its `ordinal`th (from 0), positioned at 0, when a pass has it or
  // reaches it; empty when the caller is to open the member itself (the
  // opens of the archive are not in order, the pass is past the member or
  // failed, or `abort` is set while waiting). Starts a pass when this open
  // follows the open of the member just before it.
  sonovale_io::file_ptr take(const std::string& archive_path, uint32_t ordinal,
                             const abort_callback& abort);

 private:
  class pass_callback;

  // Starts a pass over `archive_path`; the caller holds mutex_ and has
  // stopped the previous pass.
  void start(const std::string& archive_path);
  // Ends the running pass and joins its thread; called without mutex_.
  void stop();
  void run(std::string archive_path);

  sonovale_host& host_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  std::mutex thread_mutex_;  // serialises starting and stopping passes

  // The running pass, guarded by mutex_.
  std::string archive_;    // empty when no pass runs
  bool running_ = false;   // false once the pass has ended
  bool stopping_ = false;  // asks the pass to end
  uint32_t next_ = 0;      // the ordinal of the next member the pass reports
  std::optional<uint32_t> held_ordinal_;
  sonovale_io::file_ptr held_;
  std::multiset<uint32_t> wanted_;      // the ordinals opens wait for
  std::atomic<bool> stop_flag_{false};  // stopping_, for the pass's abort polls

  // The last ordinal opened, per archive, to tell opens in order.
  std::unordered_map<std::string, uint32_t> last_opened_;
};
