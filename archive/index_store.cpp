#include "archive/index_store.h"

#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "archive/index_settings.h"

namespace {

constexpr char database_name[] = "/index.sqlite3";
// Bumped whenever the tables change; a database of another version is made
// anew.
constexpr int schema_version = 2;
// How long a statement waits for another process's lock before the store
// gives up on it (the index is a cache: nothing waits longer for it).
constexpr int busy_timeout_ms = 2000;
// What a batch of writes gathers before it is written.
constexpr auto batch_delay = std::chrono::milliseconds(50);
// Bytes a checkpoint row costs besides its state.
constexpr uint64_t checkpoint_row_bytes = 32;
// Eviction goes this far below the budget, so that it does not run again at
// the next write.
constexpr uint64_t eviction_percent = 90;

constexpr const char* schema[] = {
    "CREATE TABLE IF NOT EXISTS archives("
    " id INTEGER PRIMARY KEY,"
    " type TEXT NOT NULL, size INTEGER NOT NULL, fingerprint INTEGER NOT NULL,"
    " path TEXT NOT NULL, mtime INTEGER NOT NULL, used INTEGER NOT NULL,"
    " verified INTEGER NOT NULL DEFAULT 0, content_size INTEGER, attachment BLOB,"
    " bytes INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE(type, size, fingerprint))",
    "CREATE INDEX IF NOT EXISTS archives_by_use ON archives(used)",
    "CREATE TABLE IF NOT EXISTS checkpoints("
    " archive INTEGER NOT NULL, position INTEGER NOT NULL,"
    " state BLOB NOT NULL, checksum INTEGER NOT NULL,"
    " PRIMARY KEY(archive, position)) WITHOUT ROWID",
};

// SQLite keeps 64-bit signed integers; ours are unsigned, kept bit for bit.
int64_t to_column(uint64_t value) {
  return static_cast<int64_t>(value);
}
uint64_t from_column(int64_t value) {
  return static_cast<uint64_t>(value);
}

// Seconds since the epoch: the order of use for eviction.
int64_t now_seconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

// Failures that mean the file is not a sound database of ours.
bool is_damage(int code) {
  int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_FORMAT ||
         primary == SQLITE_SCHEMA || primary == SQLITE_MISMATCH || primary == SQLITE_IOERR ||
         primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY || primary == SQLITE_FULL ||
         primary == SQLITE_ERROR;
}

// A prepared statement, finalized on every way out.
class statement {
 public:
  statement(sqlite3* db, const char* sql) {
    result_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~statement() { sqlite3_finalize(stmt_); }
  statement(const statement&) = delete;
  statement& operator=(const statement&) = delete;

  bool ok() const { return result_ == SQLITE_OK; }
  int result() const { return result_; }
  statement& bind(int index, int64_t value) {
    if (ok()) result_ = sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  statement& bind(int index, const std::string& text) {
    if (ok()) {
      result_ = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                  SQLITE_TRANSIENT);
    }
    return *this;
  }
  statement& bind(int index, const std::vector<uint8_t>& blob) {
    if (ok()) {
      // A zero-length blob still binds as a blob, not as NULL.
      static const uint8_t empty = 0;
      result_ = sqlite3_bind_blob(stmt_, index, blob.empty() ? &empty : blob.data(),
                                  static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    }
    return *this;
  }
  // Steps once: true with a row, false at the end or on failure (then
  // result() tells which).
  bool step() {
    if (!ok()) return false;
    int r = sqlite3_step(stmt_);
    if (r == SQLITE_ROW) return true;
    result_ = r == SQLITE_DONE ? SQLITE_OK : r;
    return false;
  }
  // Runs to the end; the result code.
  int run() {
    while (step()) {
    }
    return result_;
  }
  int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }
  bool is_null(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string text(int column) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p != nullptr ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                        : std::string();
  }
  std::vector<uint8_t> blob(int column) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
    auto n = static_cast<size_t>(sqlite3_column_bytes(stmt_, column));
    return p != nullptr ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int result_;
};

int exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// A queued write.
struct write_op {
  enum kind_t { checkpoint, verified, attachment, content_size, drop, touch } kind;
  index_key key;
  std::string path;
  uint64_t timestamp = 0;
  stored_checkpoint point;
  std::vector<uint8_t> blob;
  uint64_t value = 0;  // content_size: the size
};

}  // namespace

class index_store::impl {
 public:
  impl(std::string folder, uint64_t budget)
      : folder_(std::move(folder)), file_(folder_ + database_name), budget_(budget) {}

  ~impl() { stop_writer(); close(); }

  // Opens the database, making it anew once when what is there is damaged
  // or of another version.
  bool open() {
    std::lock_guard<std::mutex> lock(db_mutex_);
    return open_locked();
  }

  bool load(const index_key& key, const std::string& path, uint64_t timestamp,
            stored_content& out) {
    bool found = false;
    {
      std::lock_guard<std::mutex> lock(db_mutex_);
      if (!usable_locked()) return false;
      int64_t id = -1;
      statement archive(db_,
                        "SELECT id, verified, attachment, content_size FROM archives "
                        "WHERE type = ? AND size = ? AND fingerprint = ?");
      archive.bind(1, key.type).bind(2, to_column(key.size)).bind(3, to_column(key.fingerprint));
      if (archive.step()) {
        id = archive.integer(0);
        out.verified = archive.integer(1) != 0;
        out.attachment = archive.blob(2);
        if (!archive.is_null(3)) out.content_size = from_column(archive.integer(3));
      } else if (!failed(archive.result())) {
        return false;
      }
      if (id < 0) return false;
      statement points(db_,
                       "SELECT position, state, checksum FROM checkpoints WHERE archive = ? "
                       "ORDER BY position");
      points.bind(1, id);
      while (points.step()) {
        out.checkpoints.push_back({from_column(points.integer(0)), points.blob(1),
                                   static_cast<uint32_t>(points.integer(2))});
      }
      if (failed(points.result())) return false;
      found = true;
    }
    enqueue({write_op::touch, key, path, timestamp, {}, {}});
    return found;
  }

  void enqueue(write_op op) {
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      if (broken_) return;
      queue_.push_back(std::move(op));
      ++queued_;
      start_writer_locked();
    }
    queue_ready_->notify_one();
  }

  void flush() {
    std::unique_lock<std::mutex> lock(queue_mutex_);
    uint64_t target = queued_;
    queue_ready_->notify_one();
    written_cv_->wait(lock, [&] { return written_ >= target || broken_ || !writer_.joinable(); });
  }

  uint64_t drop_content(uint64_t size, uint64_t fingerprint) {
    flush();
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (!usable_locked()) return 0;
    uint64_t dropped = 0;
    if (!begin_locked()) return 0;
    statement ids(db_, "SELECT id FROM archives WHERE size = ? AND fingerprint = ?");
    ids.bind(1, to_column(size)).bind(2, to_column(fingerprint));
    std::vector<int64_t> found;
    while (ids.step()) found.push_back(ids.integer(0));
    bool ok = !failed(ids.result());
    for (int64_t id : found) {
      if (!ok) break;
      ok = remove_archive_locked(id);
      ++dropped;
    }
    finish_locked(ok);
    return ok ? dropped : 0;
  }

  index_status status() {
    flush();
    index_status s;
    s.file = file_;
    s.budget = budget_;
    std::lock_guard<std::mutex> lock(db_mutex_);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat st {};
      if (::stat((file_ + suffix).c_str(), &st) == 0) s.bytes += static_cast<uint64_t>(st.st_size);
    }
    if (!usable_locked()) return s;
    statement archives(db_, "SELECT count(*) FROM archives");
    if (archives.step()) s.archives = from_column(archives.integer(0));
    statement points(db_, "SELECT count(*) FROM checkpoints");
    if (points.step()) s.checkpoints = from_column(points.integer(0));
    s.working = !broken_;
    return s;
  }

  std::vector<index_entry_summary> entries() {
    flush();
    std::vector<index_entry_summary> out;
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (!usable_locked()) return out;
    statement rows(db_, "SELECT path, type, size, bytes, used FROM archives ORDER BY used DESC, id");
    while (rows.step()) {
      out.push_back({rows.text(0), rows.text(1), from_column(rows.integer(2)),
                     from_column(rows.integer(3)), rows.integer(4)});
    }
    failed(rows.result());
    return out;
  }

  // After fork, in the child: the connection and the writer belong to the
  // parent. Both are abandoned, never closed or joined (SQLite must not
  // touch a connection across fork); the next use opens anew.
  void forget_after_fork() {
    db_ = nullptr;
    if (writer_.joinable()) {
      new std::thread(std::move(writer_));  // the thread does not exist here
    }
    queue_.clear();
    written_ = queued_;
    stopping_ = false;
    (void)queue_ready_.release();
    (void)written_cv_.release();
    queue_ready_ = std::make_unique<std::condition_variable>();
    written_cv_ = std::make_unique<std::condition_variable>();
  }

  std::mutex& db_mutex() { return db_mutex_; }
  std::mutex& queue_mutex() { return queue_mutex_; }

 private:
  bool open_locked() {
    if (!make_private_folder(folder_)) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
      int result = open_database_locked();
      if (result == SQLITE_OK) return true;
      close_locked();
      if (!is_damage(result) || attempt == 1) break;
      remove_files();
    }
    broken_ = true;
    return false;
  }

  int open_database_locked() {
    int result = sqlite3_open_v2(file_.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                     SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE,
                                 nullptr);
    if (result != SQLITE_OK) return result;
    ::chmod(file_.c_str(), 0600);
    sqlite3_busy_timeout(db_, busy_timeout_ms);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    exec(db_, "PRAGMA cell_size_check = ON");
    result = exec(db_, "PRAGMA journal_mode = WAL");
    if (result != SQLITE_OK) return result;
    exec(db_, "PRAGMA synchronous = NORMAL");
    statement version(db_, "PRAGMA user_version");
    if (!version.step()) return version.result() != SQLITE_OK ? version.result() : SQLITE_CORRUPT;
    int64_t found = version.integer(0);
    if (found != 0 && found != schema_version) return SQLITE_SCHEMA;
    for (const char* sql : schema) {
      result = exec(db_, sql);
      if (result != SQLITE_OK) return result;
    }
    if (found == 0) {
      result = exec(db_, "PRAGMA user_version = 2");
      if (result != SQLITE_OK) return result;
    }
    // Reading the tables once finds a file that is damaged at its root.
    statement check(db_, "SELECT count(*) FROM archives");
    if (!check.step()) return check.result() != SQLITE_OK ? check.result() : SQLITE_CORRUPT;
    return SQLITE_OK;
  }

  void close_locked() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  void close() {
    std::lock_guard<std::mutex> lock(db_mutex_);
    close_locked();
  }

  void remove_files() {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((file_ + suffix).c_str());
  }

  // Whether the database may be used now, reopening it (after a fork, or
  // after a failure made it anew) when needed.
  bool usable_locked() {
    if (broken_) return false;
    if (db_ == nullptr) return open_locked();
    return true;
  }

  // Judges a statement's result: false when it succeeded; true when it
  // failed, after making a damaged database anew (or giving up on it).
  // Another process's lock that outlasts the timeout only fails the
  // statement.
  bool failed(int result) {
    if (result == SQLITE_OK || result == SQLITE_DONE || result == SQLITE_ROW) return false;
    int primary = result & 0xFF;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_NOMEM ||
        primary == SQLITE_INTERRUPT) {
      return true;
    }
    close_locked();
    remove_files();
    if (!open_locked()) broken_ = true;
    return true;
  }

  bool begin_locked() { return !failed(exec(db_, "BEGIN IMMEDIATE")); }

  void finish_locked(bool ok) {
    if (ok && !failed(exec(db_, "COMMIT"))) return;
    if (db_ != nullptr) exec(db_, "ROLLBACK");
  }

  // The row of `key`, made when missing; -1 on failure.
  int64_t archive_id_locked(const write_op& op) {
    statement insert(db_,
                     "INSERT INTO archives(type, size, fingerprint, path, mtime, used) "
                     "VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(type, size, fingerprint) "
                     "DO UPDATE SET path = excluded.path, mtime = excluded.mtime, "
                     "used = excluded.used RETURNING id");
    insert.bind(1, op.key.type)
        .bind(2, to_column(op.key.size))
        .bind(3, to_column(op.key.fingerprint))
        .bind(4, op.path)
        .bind(5, to_column(op.timestamp))
        .bind(6, now_seconds());
    int64_t id = insert.step() ? insert.integer(0) : -1;
    insert.run();
    return failed(insert.result()) ? -1 : id;
  }

  bool remove_archive_locked(int64_t id) {
    statement points(db_, "DELETE FROM checkpoints WHERE archive = ?");
    points.bind(1, id);
    if (failed(points.run())) return false;
    statement row(db_, "DELETE FROM archives WHERE id = ?");
    row.bind(1, id);
    return !failed(row.run());
  }

  bool apply_locked(const write_op& op) {
    if (op.kind == write_op::drop) {
      statement id(db_, "SELECT id FROM archives WHERE type = ? AND size = ? AND fingerprint = ?");
      id.bind(1, op.key.type).bind(2, to_column(op.key.size)).bind(3, to_column(op.key.fingerprint));
      if (!id.step()) return !failed(id.result());
      return remove_archive_locked(id.integer(0));
    }
    int64_t id = archive_id_locked(op);
    if (id < 0) return false;
    switch (op.kind) {
      case write_op::checkpoint: {
        statement insert(db_,
                         "INSERT OR IGNORE INTO checkpoints(archive, position, state, checksum) "
                         "VALUES(?, ?, ?, ?)");
        insert.bind(1, id)
            .bind(2, to_column(op.point.output_position))
            .bind(3, op.point.state)
            .bind(4, static_cast<int64_t>(op.point.check));
        if (failed(insert.run())) return false;
        if (sqlite3_changes(db_) == 0) return true;
        statement grow(db_, "UPDATE archives SET bytes = bytes + ? WHERE id = ?");
        grow.bind(1, to_column(op.point.state.size() + checkpoint_row_bytes)).bind(2, id);
        return !failed(grow.run());
      }
      case write_op::verified: {
        statement set(db_, "UPDATE archives SET verified = 1 WHERE id = ?");
        set.bind(1, id);
        return !failed(set.run());
      }
      case write_op::content_size: {
        statement set(db_, "UPDATE archives SET content_size = ? WHERE id = ?");
        set.bind(1, to_column(op.value)).bind(2, id);
        return !failed(set.run());
      }
      case write_op::attachment: {
        statement set(db_,
                      "UPDATE archives SET bytes = bytes - coalesce(length(attachment), 0) + ?, "
                      "attachment = ? WHERE id = ?");
        set.bind(1, to_column(op.blob.size())).bind(2, op.blob).bind(3, id);
        return !failed(set.run());
      }
      default:
        return true;  // touch: archive_id_locked has marked it used
    }
  }

  // Drops the least recently used archives until the rest fit well within
  // the budget.
  bool evict_locked() {
    statement total(db_, "SELECT coalesce(sum(bytes), 0) + count(*) * 128 FROM archives");
    if (!total.step()) return !failed(total.result());
    uint64_t bytes = from_column(total.integer(0));
    if (bytes <= budget_) return true;
    uint64_t target = budget_ / 100 * eviction_percent;
    statement oldest(db_, "SELECT id, bytes FROM archives ORDER BY used, id");
    std::vector<int64_t> victims;
    while (bytes > target && oldest.step()) {
      victims.push_back(oldest.integer(0));
      uint64_t freed = from_column(oldest.integer(1)) + 128;
      bytes -= std::min(bytes, freed);
    }
    if (failed(oldest.result())) return false;
    for (int64_t id : victims) {
      if (!remove_archive_locked(id)) return false;
    }
    return true;
  }

  void write_batch(std::deque<write_op>& batch) {
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (!usable_locked() || !begin_locked()) return;
    bool ok = true;
    for (const write_op& op : batch) {
      ok = apply_locked(op);
      if (!ok) break;
    }
    if (ok) ok = evict_locked();
    finish_locked(ok);
  }

  void start_writer_locked() {
    if (writer_.joinable()) return;
    try {
      writer_ = std::thread([this] { write_loop(); });
    } catch (const std::exception&) {
      broken_ = true;
      queue_.clear();
    }
  }

  void write_loop() {
    std::unique_lock<std::mutex> lock(queue_mutex_);
    for (;;) {
      queue_ready_->wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty() && stopping_) return;
      // Let a burst gather into one transaction.
      if (!stopping_) queue_ready_->wait_for(lock, batch_delay, [&] { return stopping_; });
      std::deque<write_op> batch;
      batch.swap(queue_);
      uint64_t taken = batch.size();
      lock.unlock();
      write_batch(batch);
      batch.clear();
      lock.lock();
      written_ += taken;
      written_cv_->notify_all();
    }
  }

  void stop_writer() {
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      stopping_ = true;
    }
    queue_ready_->notify_all();
    if (writer_.joinable()) writer_.join();
  }

  const std::string folder_;
  const std::string file_;
  const uint64_t budget_;

  std::mutex db_mutex_;
  sqlite3* db_ = nullptr;
  bool broken_ = false;  // under either mutex for writing; read under the one held

  std::mutex queue_mutex_;
  // Behind pointers so that a forked child can leave the parent's (which
  // may count waiters that do not exist there) and make its own.
  std::unique_ptr<std::condition_variable> queue_ready_ = std::make_unique<std::condition_variable>();
  std::unique_ptr<std::condition_variable> written_cv_ = std::make_unique<std::condition_variable>();
  std::deque<write_op> queue_;
  uint64_t queued_ = 0;
  uint64_t written_ = 0;
  bool stopping_ = false;
  std::thread writer_;
};

namespace {

// The live stores, for the fork handlers.
std::mutex g_stores_mutex;
std::set<index_store::impl*>* g_stores = nullptr;

void before_fork() {
  g_stores_mutex.lock();
  if (g_stores == nullptr) return;
  for (index_store::impl* s : *g_stores) {
    s->queue_mutex().lock();
    s->db_mutex().lock();
  }
}

void after_fork_in_parent() {
  if (g_stores != nullptr) {
    for (index_store::impl* s : *g_stores) {
      s->db_mutex().unlock();
      s->queue_mutex().unlock();
    }
  }
  g_stores_mutex.unlock();
}

void after_fork_in_child() {
  if (g_stores != nullptr) {
    for (index_store::impl* s : *g_stores) {
      s->forget_after_fork();
      s->db_mutex().unlock();
      s->queue_mutex().unlock();
    }
  }
  g_stores_mutex.unlock();
}

void register_store(index_store::impl* s) {
  static const bool handlers = [] {
    return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  }();
  (void)handlers;
  std::lock_guard<std::mutex> lock(g_stores_mutex);
  if (g_stores == nullptr) g_stores = new std::set<index_store::impl*>();
  g_stores->insert(s);
}

void unregister_store(index_store::impl* s) {
  std::lock_guard<std::mutex> lock(g_stores_mutex);
  if (g_stores != nullptr) g_stores->erase(s);
}

}  // namespace

std::unique_ptr<index_store> index_store::open(const std::string& folder, uint64_t budget) {
  auto s = std::make_unique<impl>(folder, budget);
  if (!s->open()) return nullptr;
  return std::unique_ptr<index_store>(new index_store(std::move(s)));
}

index_store::index_store(std::unique_ptr<impl> impl) : impl_(std::move(impl)) {
  register_store(impl_.get());
}

index_store::~index_store() {
  unregister_store(impl_.get());
}

bool index_store::load(const index_key& key, const std::string& path, uint64_t timestamp,
                       stored_content& out) {
  return impl_->load(key, path, timestamp, out);
}

void index_store::add_checkpoint(const index_key& key, const std::string& path, uint64_t timestamp,
                                 stored_checkpoint checkpoint) {
  impl_->enqueue({write_op::checkpoint, key, path, timestamp, std::move(checkpoint), {}});
}

void index_store::set_verified(const index_key& key, const std::string& path,
                               uint64_t timestamp) {
  impl_->enqueue({write_op::verified, key, path, timestamp, {}, {}});
}

void index_store::set_content_size(const index_key& key, const std::string& path,
                                   uint64_t timestamp, uint64_t size) {
  write_op op{write_op::content_size, key, path, timestamp, {}, {}};
  op.value = size;
  impl_->enqueue(std::move(op));
}

void index_store::set_attachment(const index_key& key, const std::string& path,
                                 uint64_t timestamp, std::vector<uint8_t> attachment) {
  impl_->enqueue({write_op::attachment, key, path, timestamp, {}, std::move(attachment)});
}

void index_store::drop(const index_key& key) {
  impl_->enqueue({write_op::drop, key, {}, 0, {}, {}});
}

uint64_t index_store::drop_content(uint64_t size, uint64_t fingerprint) {
  return impl_->drop_content(size, fingerprint);
}

void index_store::flush() {
  impl_->flush();
}

index_status index_store::status() {
  return impl_->status();
}

std::vector<index_entry_summary> index_store::entries() {
  return impl_->entries();
}
