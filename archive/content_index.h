// The content index: what decoding has taught about compressed files, so
// that later opens of the same file, in this process or a later one, start
// where earlier ones left marks.
//
// One entry per compressed file, keyed by its canonical path, size, time
// stamp and content fingerprint (archive/content_fingerprint.h): a changed
// file is a new key, even one rewritten with its old size and time stamp.
// An entry holds the checkpoints that passes over the file recorded, the
// content's exact size once a pass has reached its end, whether a pass from
// the start has verified the whole file, and one attachment of the archive
// format that walked the content (the TAR member table). The index keeps
// the most recently used entries within a memory budget (64 MiB unless set
// otherwise); an entry that is dropped lives on for those still holding it.
//
// With the index on disk (archive/index_store.h, chosen by BRENMOOR_INDEX),
// a new entry starts from what the database holds for the same content
// (type, size and fingerprint), and what the entry learns is written back.
// What comes from disk is a hint: a checkpoint is unconfirmed until a pass
// started there has yielded what its check says (decoded_view does that
// before serving a byte), and the attachment's rows are confirmed by their
// format before use. Safe to use from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "archive/index_settings.h"
#include "archive/index_store.h"
#include "archive/view_format.h"

namespace sonovale_io {

// What an archive format keeps in an entry about the content it walked.
// Implementations do their own locking.
class content_attachment {
 public:
  virtual ~content_attachment() = default;
  // The memory it holds, for the index's budget.
  virtual size_t memory_bytes() const = 0;
  // A count that grows whenever it learns something: what has not been
  // written to disk since is written when the entry is next saved.
  virtual uint64_t version() const = 0;
  // Its form on disk, which the format reads back from
  // content_entry::stored_attachment.
  virtual std::vector<uint8_t> serialize() const = 0;
};

// A checkpoint as the index holds it.
struct indexed_checkpoint {
  view_checkpoint point;
  // True when a pass of this process recorded it, or yielded its check
  // since; false for one read from disk and not checked yet.
  bool confirmed = true;
  // What a pass started here yields (checkpoint_check); meaningful when
  // `has_check`.
  bool has_check = false;
  uint32_t check = 0;
};

class content_entry final : public checkpoint_sink {
 public:
  content_entry() = default;
  content_entry(const content_entry&) = delete;
  content_entry& operator=(const content_entry&) = delete;

  // Keeps `checkpoint`, confirmed, unless one is known at its output
  // position (one read from disk there is confirmed instead when the states
  // agree, and replaced when they do not). When the checkpoints outgrow the
  // index's budget, every second one is dropped: coverage stays, spacing
  // doubles.
  void add_checkpoint(view_checkpoint&& checkpoint) override;
  // Records what a pass started at the checkpoint at `position` yields,
  // and writes the checkpoint to disk when the entry is tied to it.
  void set_check(uint64_t position, uint32_t check);
  // Marks the checkpoint at `position` confirmed: a pass from it has
  // yielded its check.
  void confirm(uint64_t position);

  // Copies the checkpoint with the largest output position not above
  // `position` into `out`; false when there is none.
  bool checkpoint_at_or_before(uint64_t position, indexed_checkpoint& out) const;
  // The checkpoints past `position`, in output order, each the first at
  // least `spacing` bytes of output past the one before it (the first:
  // past `position`). Spacing 0 or 1 gives every one.
  std::vector<indexed_checkpoint> checkpoints_after(uint64_t position,
                                                    uint64_t spacing = 0) const;
  size_t checkpoint_count() const;

  // The content's size, unknown_size until a pass has reached its end.
  uint64_t content_size() const;
  void set_content_size(uint64_t size);
  // The content's size as far as anything here knows it: content_size, else
  // what the index on disk says a pass found (a hint, as a gzip trailer's
  // size is: for statistics and listings, never to place a byte), else
  // unknown_size.
  uint64_t content_size_hint() const;
  // True once a pass from the start has reached the end with every check
  // of the format passed (or the index on disk says one has).
  bool verified() const;
  void set_verified();

  // The format's attachment of type T, made with `make` when there is none
  // (or one of another type). `make` is called, under the entry's lock,
  // with what the index on disk held for the attachment when the entry was
  // made (empty when nothing), for the format to read back.
  template <typename T, typename Make>
  std::shared_ptr<T> attachment(Make make) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto typed = std::dynamic_pointer_cast<T>(attachment_);
    if (!typed) {
      typed = make(static_cast<const std::vector<uint8_t>&>(stored_attachment_));
      attachment_ = typed;
      saved_attachment_version_ = typed ? typed->version() : 0;
    }
    return typed;
  }

  // Drops the attachment, and what the disk held for it: the next call of
  // attachment makes a new one from nothing.
  void drop_attachment();

  // Forgets everything learnt: checkpoints, size, the verified mark and the
  // attachment, here and on disk. For when something kept here disagrees
  // with what decoding finds; views that hold the entry start afresh.
  void reset();

  // Writes to disk what the attachment learnt since it was last written.
  void save();
  // True when the entry is tied to the index on disk.
  bool persistent() const { return store_ != nullptr; }

  // Ties the entry to the index on disk, where what it holds under `key` is
  // `stored`; what the entry learns from now on is written there. `path`
  // and `timestamp` describe the file.
  void tie_to_store(std::shared_ptr<index_store> store, index_key key, std::string path,
                    uint64_t timestamp, stored_content&& stored);

  // Checkpoints and attachment, in bytes.
  size_t memory_bytes() const;

 private:
  struct held_checkpoint {
    std::vector<uint8_t> state;
    bool confirmed;
    bool has_check;
    uint32_t check;
  };
  void add_locked(uint64_t position, held_checkpoint&& held);

  mutable std::mutex mutex_;
  std::map<uint64_t, held_checkpoint> checkpoints_;  // by output position
  size_t checkpoint_bytes_ = 0;
  uint64_t content_size_ = unknown_size;
  uint64_t stored_content_size_ = unknown_size;
  bool verified_ = false;
  std::shared_ptr<content_attachment> attachment_;
  uint64_t saved_attachment_version_ = 0;
  std::vector<uint8_t> stored_attachment_;

  std::shared_ptr<index_store> store_;
  index_key key_;
  std::string path_;
  uint64_t timestamp_ = 0;
};

// The entry for the compressed file with this canonical path, size, time
// stamp and content fingerprint, whose content the view format `type`
// decodes; made when the index has none, from what the index on disk holds
// for it when there is one. Marks it most recently used and drops the least
// recently used entries beyond the budget. With the index off, every call
// gives a new entry that nothing else shares.
std::shared_ptr<content_entry> content_index_find(const std::string& canonical_path, uint64_t size,
                                                  uint64_t timestamp, uint64_t fingerprint,
                                                  const char* type = "");

// Sets the memory budget of the index (entries and their checkpoints) and
// applies it at once. For hosts and tests; the default is 64 MiB.
void content_index_set_budget(size_t bytes);

// Drops every entry held in memory. For tests.
void content_index_clear();

// The number of entries held. For tests.
size_t content_index_size();

// The index on disk this process uses, opened on first use as the
// environment says (archive/index_settings.h); null when it is in memory
// only or off, or the database cannot be had.
std::shared_ptr<index_store> content_index_store();

// Chooses where the index lives from now on, instead of the environment:
// the folder of a database, or the memory only (`folder` empty), or off.
// Drops every entry held in memory. For the program and tests.
void content_index_use(index_mode mode, const std::string& folder = "",
                       uint64_t budget = uint64_t{1} << 30);

}  // namespace sonovale_io
