#include "archive/content_index.h"

#include <zlib.h>

#include <atomic>
#include <list>
#include <tuple>

#include "io/little_endian.h"

namespace sonovale_io {

namespace {

constexpr size_t default_budget = 64u << 20;
// What a checkpoint costs besides its state: the map node.
constexpr size_t checkpoint_overhead = 64;

std::atomic<size_t> g_budget{default_budget};

struct key {
  std::string path;
  uint64_t size;
  uint64_t timestamp;
  uint64_t fingerprint;
  bool operator<(const key& other) const {
    return std::tie(path, size, timestamp, fingerprint) <
           std::tie(other.path, other.size, other.timestamp, other.fingerprint);
  }
};

// Where the index lives: chosen from the environment at first use, or by
// content_index_use.
class placement {
 public:
  index_mode mode() {
    std::lock_guard<std::mutex> lock(mutex_);
    settle_locked();
    return mode_;
  }

  std::shared_ptr<index_store> store() {
    std::lock_guard<std::mutex> lock(mutex_);
    settle_locked();
    return store_;
  }

  void use(index_mode mode, const std::string& folder, uint64_t budget) {
    std::shared_ptr<index_store> old;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      old = std::move(store_);
      settled_ = true;
      mode_ = mode;
      if (mode == index_mode::disk) {
        store_ = index_store::open(folder, budget);
        // A database that cannot be had leaves the index in memory.
        if (!store_) mode_ = index_mode::memory;
      }
    }
    // Destroyed outside the lock: it writes what it has queued.
  }

 private:
  void settle_locked() {
    if (settled_) return;
    settled_ = true;
    index_settings settings = index_settings_from_environment();
    mode_ = settings.mode;
    if (mode_ == index_mode::disk) {
      store_ = index_store::open(settings.folder, settings.budget);
      if (!store_) mode_ = index_mode::memory;
    }
  }

  std::mutex mutex_;
  bool settled_ = false;
  index_mode mode_ = index_mode::memory;
  std::shared_ptr<index_store> store_;
};

placement& the_placement() {
  static placement instance;
  return instance;
}

// Entries by key, and their keys from most to least recently used.
class index {
 public:
  std::shared_ptr<content_entry> find(const key& k, const char* type) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = entries_.find(k);
      if (found != entries_.end()) return use_locked(found);
    }
    // A new entry starts from the disk, read without holding the index.
    auto made = std::make_shared<content_entry>();
    if (std::shared_ptr<index_store> store = the_placement().store()) {
      index_key stored_key{type, k.size, k.fingerprint};
      stored_content stored;
      if (!store->load(stored_key, k.path, k.timestamp, stored)) stored = stored_content{};
      made->tie_to_store(std::move(store), std::move(stored_key), k.path, k.timestamp,
                         std::move(stored));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(k);
    if (found != entries_.end()) return use_locked(found);  // another thread made it meanwhile
    recent_.push_front(k);
    entries_.emplace(k, slot{made, recent_.begin()});
    trim_locked(g_budget.load());
    return made;
  }

  void trim(size_t budget) {
    std::lock_guard<std::mutex> lock(mutex_);
    trim_locked(budget);
  }

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    recent_.clear();
  }

  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
  }

 private:
  struct slot {
    std::shared_ptr<content_entry> entry;
    std::list<key>::iterator place;
  };

  // The entry `found` holds, now the most recently used. Entries grow as
  // passes use them: the budget is applied at every find.
  std::shared_ptr<content_entry> use_locked(std::map<key, slot>::iterator found) {
    recent_.splice(recent_.begin(), recent_, found->second.place);
    std::shared_ptr<content_entry> entry = found->second.entry;
    trim_locked(g_budget.load());
    return entry;
  }

  // Drops least recently used entries until the rest fit in `budget`; the
  // most recent one always stays.
  void trim_locked(size_t budget) {
    size_t total = 0;
    for (const auto& e : entries_) total += e.second.entry->memory_bytes();
    while (total > budget && recent_.size() > 1) {
      auto victim = entries_.find(recent_.back());
      total -= victim->second.entry->memory_bytes();
      entries_.erase(victim);
      recent_.pop_back();
    }
  }

  std::mutex mutex_;
  std::map<key, slot> entries_;
  std::list<key> recent_;
};

index& the_index() {
  static index instance;
  return instance;
}

// An attachment as the disk keeps it: the content's size and fingerprint
// (8 bytes each, little-endian), the format's bytes, and a CRC-32 of all
// that. A record damaged on disk, or copied from another file's, is not
// taken.
std::vector<uint8_t> wrap_attachment(const index_key& key, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size() + 20);
  append_le(out, key.size, 8);
  append_le(out, key.fingerprint, 8);
  out.insert(out.end(), bytes.begin(), bytes.end());
  append_le(out, crc32_z(crc32(0, nullptr, 0), out.data(), out.size()), 4);
  return out;
}

std::vector<uint8_t> unwrap_attachment(const index_key& key, const std::vector<uint8_t>& stored) {
  if (stored.size() < 20) return {};
  size_t body = stored.size() - 4;
  if (load_le(stored.data() + body, 4) != crc32_z(crc32(0, nullptr, 0), stored.data(), body) ||
      load_le(stored.data(), 8) != key.size || load_le(stored.data() + 8, 8) != key.fingerprint) {
    return {};
  }
  return std::vector<uint8_t>(stored.begin() + 16, stored.begin() + static_cast<ptrdiff_t>(body));
}

}  // namespace

void content_entry::add_locked(uint64_t position, held_checkpoint&& held) {
  size_t bytes = held.state.size() + checkpoint_overhead;
  auto [place, added] = checkpoints_.try_emplace(position, std::move(held));
  if (!added) {
    held_checkpoint& known = place->second;
    if (known.confirmed || !held.confirmed) return;
    // Decoding reached a place the disk only told of: what it found wins.
    if (known.state != held.state) {
      checkpoint_bytes_ -= known.state.size();
      checkpoint_bytes_ += held.state.size();
      known.state = std::move(held.state);
      known.has_check = false;
    }
    known.confirmed = true;
    return;
  }
  checkpoint_bytes_ += bytes;
  // One file may hold no more than half the budget in checkpoints.
  if (checkpoint_bytes_ <= g_budget.load() / 2) return;
  bool drop = false;
  for (auto it = checkpoints_.begin(); it != checkpoints_.end();) {
    if (drop) {
      checkpoint_bytes_ -= it->second.state.size() + checkpoint_overhead;
      it = checkpoints_.erase(it);
    } else {
      ++it;
    }
    drop = !drop;
  }
}

void content_entry::add_checkpoint(view_checkpoint&& checkpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  add_locked(checkpoint.output_position, {std::move(checkpoint.state), true, false, 0});
}

void content_entry::set_check(uint64_t position, uint32_t check) {
  std::vector<uint8_t> state;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = checkpoints_.find(position);
    if (found == checkpoints_.end() || !found->second.confirmed || found->second.has_check) return;
    found->second.has_check = true;
    found->second.check = check;
    if (store_ == nullptr) return;
    state = found->second.state;
  }
  store_->add_checkpoint(key_, path_, timestamp_, {position, std::move(state), check});
}

void content_entry::confirm(uint64_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = checkpoints_.find(position);
  if (found != checkpoints_.end()) found->second.confirmed = true;
}

bool content_entry::checkpoint_at_or_before(uint64_t position, indexed_checkpoint& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto after = checkpoints_.upper_bound(position);
  if (after == checkpoints_.begin()) return false;
  --after;
  out.point.output_position = after->first;
  out.point.state = after->second.state;
  out.confirmed = after->second.confirmed;
  out.has_check = after->second.has_check;
  out.check = after->second.check;
  return true;
}

std::vector<indexed_checkpoint> content_entry::checkpoints_after(uint64_t position,
                                                                 uint64_t spacing) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<indexed_checkpoint> out;
  uint64_t last = position;
  for (auto it = checkpoints_.upper_bound(position); it != checkpoints_.end(); ++it) {
    // A state is as large as the format's window (32 KiB for gzip): only
    // those asked for are copied.
    if (it->first - last < spacing) continue;
    const held_checkpoint& h = it->second;
    out.push_back({{it->first, h.state}, h.confirmed, h.has_check, h.check});
    last = it->first;
  }
  return out;
}

size_t content_entry::checkpoint_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return checkpoints_.size();
}

uint64_t content_entry::content_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return content_size_;
}

void content_entry::set_content_size(uint64_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    content_size_ = size;
    if (store_ == nullptr || stored_content_size_ == size) return;
    stored_content_size_ = size;
  }
  store_->set_content_size(key_, path_, timestamp_, size);
}

uint64_t content_entry::content_size_hint() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return content_size_ != unknown_size ? content_size_ : stored_content_size_;
}

bool content_entry::verified() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return verified_;
}

void content_entry::set_verified() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (verified_) return;
    verified_ = true;
    if (store_ == nullptr) return;
  }
  store_->set_verified(key_, path_, timestamp_);
}

void content_entry::reset() {
  std::shared_ptr<content_attachment> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    checkpoints_.clear();
    checkpoint_bytes_ = 0;
    content_size_ = unknown_size;
    stored_content_size_ = unknown_size;
    verified_ = false;
    stored_attachment_.clear();
    saved_attachment_version_ = 0;
    // Destroyed after the lock is let go: its holders may still use it.
    dropped = std::move(attachment_);
    if (store_ == nullptr) return;
  }
  store_->drop(key_);
}

void content_entry::drop_attachment() {
  std::shared_ptr<content_attachment> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  stored_attachment_.clear();
  saved_attachment_version_ = 0;
  dropped = std::move(attachment_);
}

void content_entry::save() {
  std::shared_ptr<content_attachment> attachment;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (store_ == nullptr || !attachment_) return;
    attachment = attachment_;
  }
  uint64_t version = attachment->version();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (attachment_ != attachment || version == saved_attachment_version_) return;
    saved_attachment_version_ = version;
  }
  std::vector<uint8_t> blob = attachment->serialize();
  if (!blob.empty()) store_->set_attachment(key_, path_, timestamp_, wrap_attachment(key_, blob));
}

void content_entry::tie_to_store(std::shared_ptr<index_store> store, index_key key,
                                 std::string path, uint64_t timestamp, stored_content&& stored) {
  std::lock_guard<std::mutex> lock(mutex_);
  store_ = std::move(store);
  key_ = std::move(key);
  path_ = std::move(path);
  timestamp_ = timestamp;
  for (stored_checkpoint& c : stored.checkpoints) {
    add_locked(c.output_position, {std::move(c.state), false, true, c.check});
  }
  verified_ = stored.verified;
  stored_content_size_ = stored.content_size;
  stored_attachment_ = unwrap_attachment(key_, stored.attachment);
}

size_t content_entry::memory_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sizeof *this + checkpoint_bytes_ + stored_attachment_.size() +
         (attachment_ ? attachment_->memory_bytes() : 0);
}

std::shared_ptr<content_entry> content_index_find(const std::string& canonical_path, uint64_t size,
                                                  uint64_t timestamp, uint64_t fingerprint,
                                                  const char* type) {
  if (the_placement().mode() == index_mode::off) return std::make_shared<content_entry>();
  return the_index().find({canonical_path, size, timestamp, fingerprint}, type);
}

void content_index_set_budget(size_t bytes) {
  g_budget.store(bytes);
  the_index().trim(bytes);
}

void content_index_clear() {
  the_index().clear();
}

size_t content_index_size() {
  return the_index().size();
}

std::shared_ptr<index_store> content_index_store() {
  return the_placement().store();
}

void content_index_use(index_mode mode, const std::string& folder, uint64_t budget) {
  the_index().clear();
  the_placement().use(mode, folder, budget);
}

}  // namespace sonovale_io
