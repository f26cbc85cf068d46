// Read-ahead for members opened in archive order.
//
// Opening a member by its path walks its archive from the start, so a
// program that reads every member in turn (a copy of the whole tree) would
// pay for the archive once per member. When opens of one archive come in
// listing order, a single listing pass with readers (what `extract` uses)
// runs on its own thread instead and hands each member's content, as the
// module made it, to the open that wants it.
//
// The pass holds one member that nobody has asked for yet, waiting for its
// open. When an open asks for a later member, the pass moves on, keeping the
// members it passes over (up to skipped_budget bytes) for opens that come
// back to them: a tree walk visits a folder whose members are spread through
// the archive before the members listed between them. The pass ends when
// nobody takes anything for a while, when an open of another archive starts
// a new pass, or at destruction; what it kept goes with it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
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
  // opens of the archive are not in order, a running pass is past the
  // member and did not keep it, the pass failed, or `abort` is set while
  // waiting). Starts a pass when this open follows the open of the member
  // just before it and no pass over the archive is listing (a pass over
  // another archive is stopped).
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
  // Drops the held and the kept members; the caller holds mutex_.
  void drop_members();

  sonovale_host& host_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  std::mutex thread_mutex_;  // serialises starting and stopping passes

  // The pass, guarded by mutex_.
  std::string archive_;   // the archive of the last pass started
  bool running_ = false;  // its thread has not finished
  bool listing_ = false;  // it may still report members
  bool stopping_ = false;
  std::atomic<bool> stop_flag_{false};  // stopping_, for the pass's abort polls
  uint32_t next_ = 0;                   // the ordinal of the next member it reports
  std::optional<uint32_t> held_ordinal_;
  sonovale_io::file_ptr held_;
  std::map<uint32_t, sonovale_io::file_ptr> skipped_;  // kept members, by ordinal
  uint64_t skipped_bytes_ = 0;
  uint64_t takes_ = 0;              // members handed out, to tell an idle pass
  std::multiset<uint32_t> wanted_;  // the ordinals opens wait for

  // The last ordinal opened, per archive, to tell opens in order.
  std::unordered_map<std::string, uint32_t> last_opened_;
};
