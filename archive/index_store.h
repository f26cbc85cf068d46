// The content index on disk: one SQLite database that every process shares,
// holding what passes over compressed files learnt (checkpoints with the
// check of what decoding from each yields, whether a pass verified the
// whole file, and the archive format's table of the content), so that a
// later process starts where an earlier one left marks.
//
// Nothing read from here is trusted: a checkpoint is served from only after
// decoding from it has matched its check, and a table row only after the
// entry it points to has been read again (archive/content_index.h). A
// database that is damaged, truncated, locked for too long or not a
// database at all costs at most a rebuild: the file is made anew, and when
// even that fails the store stops answering and the process goes on with
// its memory alone.
//
// Writes are queued and made in batches by a thread of the store's own, in
// transactions, so that a pass never waits for the disk. Entries are
// evicted, least recently used first, once the database holds more than its
// budget. Safe to use from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What identifies a compressed file's content: its view format's type
// name, size and content fingerprint (archive/content_fingerprint.h). A
// moved or copied file keeps it; a rewritten one does not.
struct index_key {
  std::string type;
  uint64_t size = 0;
  uint64_t fingerprint = 0;
};

struct stored_checkpoint {
  uint64_t output_position = 0;
  std::vector<uint8_t> state;
  // The check of what a pass started here yields (view_checkpoint_check).
  uint32_t check = 0;
};

struct stored_content {
  std::vector<stored_checkpoint> checkpoints;  // by output position
  bool verified = false;
  // The content's size as a pass that reached its end found it; all ones
  // when none has.
  uint64_t content_size = UINT64_MAX;
  std::vector<uint8_t> attachment;  // the archive format's table, as it wrote it
};

struct index_status {
  std::string file;
  uint64_t bytes = 0;  // the database's files on disk
  uint64_t budget = 0;
  uint64_t archives = 0;
  uint64_t checkpoints = 0;
  bool working = false;  // false once the store gave up
};

// One file's entries, as status lists them.
struct index_entry_summary {
  std::string path;  // the file that last used them
  std::string type;
  uint64_t size = 0;
  uint64_t bytes = 0;     // what its rows take
  int64_t used = 0;       // seconds since the epoch
};

class index_store {
 public:
  // Opens or makes the database in `folder` (made 0700 when missing),
  // keeping at most `budget` bytes of entries. Null when the folder or the
  // database cannot be had.
  static std::unique_ptr<index_store> open(const std::string& folder, uint64_t budget);
  // Writes what is queued and stops the writer.
  ~index_store();
  index_store(const index_store&) = delete;
  index_store& operator=(const index_store&) = delete;

  // What is stored for `key`, and marks it used by the file at `path`
  // (time stamp `timestamp`). False when nothing is stored, or the database
  // failed.
  bool load(const index_key& key, const std::string& path, uint64_t timestamp,
            stored_content& out);

  // Queued for the writer; `path` and `timestamp` describe the file for
  // status and eviction.
  void add_checkpoint(const index_key& key, const std::string& path, uint64_t timestamp,
                      stored_checkpoint checkpoint);
  void set_verified(const index_key& key, const std::string& path, uint64_t timestamp);
  void set_content_size(const index_key& key, const std::string& path, uint64_t timestamp,
                        uint64_t size);
  void set_attachment(const index_key& key, const std::string& path, uint64_t timestamp,
                      std::vector<uint8_t> attachment);
  // Removes everything stored for `key`.
  void drop(const index_key& key);
  // Removes everything stored for content of this size and fingerprint,
  // whatever its type; returns how many files' entries went.
  uint64_t drop_content(uint64_t size, uint64_t fingerprint);

  // Waits until everything queued before the call is written.
  void flush();

  index_status status();
  // Every file's entries, most recently used first.
  std::vector<index_entry_summary> entries();

  class impl;  // defined in the source only

 private:
  explicit index_store(std::unique_ptr<impl> impl);
  std::unique_ptr<impl> impl_;
};
