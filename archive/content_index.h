// The content index: what decoding has taught about compressed files,
// kept for the life of the process so that later opens of the same file
// start where earlier ones left marks.
//
// One entry per compressed file, keyed by its canonical path, size, time
// stamp and content fingerprint (archive/content_fingerprint.h): a changed
// file is a new key, even one rewritten with its old size and time stamp. An entry holds the checkpoints that
// passes over the file recorded, the content's exact size once a pass has
// reached its end, whether a pass from the start has verified the whole
// file, and one attachment of the archive format that walked the content
// (the TAR member table). The index keeps the most recently used entries
// within a memory budget (64 MiB unless set otherwise); an entry that is
// dropped lives on for those still holding it. Safe to use from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "archive/view_format.h"

namespace sonovale_io {

// What an archive format keeps in an entry about the content it walked.
// Implementations do their own locking.
class content_attachment {
 public:
  virtual ~content_attachment() = default;
  // The memory it holds, for the index's budget.
  virtual size_t memory_bytes() const = 0;
};

class content_entry final : public checkpoint_sink {
 public:
  content_entry() = default;
  content_entry(const content_entry&) = delete;
  content_entry& operator=(const content_entry&) = delete;

  // Keeps `checkpoint` unless one is known at its output position. When
  // the checkpoints outgrow the index's budget, every second one is
  // dropped: coverage stays, spacing doubles.
  void add_checkpoint(view_checkpoint&& checkpoint) override;

  // Copies the checkpoint with the largest output position not above
  // `position` into `out`; false when there is none.
  bool checkpoint_at_or_before(uint64_t position, view_checkpoint& out) const;
  size_t checkpoint_count() const;

  // The content's size, unknown_size until a pass has reached its end.
  uint64_t content_size() const;
  void set_content_size(uint64_t size);
  // True once a pass from the start has reached the end with every check
  // of the format passed.
  bool verified() const;
  void set_verified();

  // The format's attachment of type T, made with `make` when there is none
  // (or one of another type).
  template <typename T, typename Make>
  std::shared_ptr<T> attachment(Make make) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto typed = std::dynamic_pointer_cast<T>(attachment_);
    if (!typed) {
      typed = make();
      attachment_ = typed;
    }
    return typed;
  }

  // Forgets everything learnt: checkpoints, size, the verified mark and the
  // attachment. For when something kept here disagrees with what decoding
  // finds; views that hold the entry start afresh.
  void reset();

  // Checkpoints and attachment, in bytes.
  size_t memory_bytes() const;

 private:
  mutable std::mutex mutex_;
  std::map<uint64_t, std::vector<uint8_t>> checkpoints_;  // by output position
  size_t checkpoint_bytes_ = 0;
  uint64_t content_size_ = unknown_size;
  bool verified_ = false;
  std::shared_ptr<content_attachment> attachment_;
};

// The entry for the compressed file with this canonical path, size, time
// stamp and content fingerprint, made empty when the index has none. Marks it most recently
// used and drops the least recently used entries beyond the budget.
std::shared_ptr<content_entry> content_index_find(const std::string& canonical_path, uint64_t size,
                                                  uint64_t timestamp, uint64_t fingerprint);

// Sets the memory budget of the index (entries and their checkpoints) and
// applies it at once. For hosts and tests; the default is 64 MiB.
void content_index_set_budget(size_t bytes);

// Drops every entry. For tests.
void content_index_clear();

// The number of entries held. For tests.
size_t content_index_size();

}  // namespace sonovale_io
