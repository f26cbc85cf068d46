#include "archive/content_index.h"

#include <atomic>
#include <list>
#include <tuple>

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

// Entries by key, and their keys from most to least recently used.
class index {
 public:
  std::shared_ptr<content_entry> find(const key& k) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(k);
    if (found != entries_.end()) {
      recent_.splice(recent_.begin(), recent_, found->second.place);
    } else {
      recent_.push_front(k);
      found = entries_.emplace(k, slot{std::make_shared<content_entry>(), recent_.begin()}).first;
    }
    std::shared_ptr<content_entry> entry = found->second.entry;
    trim_locked(g_budget.load());
    return entry;
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

}  // namespace

void content_entry::add_checkpoint(view_checkpoint&& checkpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t bytes = checkpoint.state.size() + checkpoint_overhead;
  if (!checkpoints_.emplace(checkpoint.output_position, std::move(checkpoint.state)).second) return;
  checkpoint_bytes_ += bytes;
  // One file may hold no more than half the budget in checkpoints.
  if (checkpoint_bytes_ <= g_budget.load() / 2) return;
  bool drop = false;
  for (auto it = checkpoints_.begin(); it != checkpoints_.end();) {
    if (drop) {
      checkpoint_bytes_ -= it->second.size() + checkpoint_overhead;
      it = checkpoints_.erase(it);
    } else {
      ++it;
    }
    drop = !drop;
  }
}

bool content_entry::checkpoint_at_or_before(uint64_t position, view_checkpoint& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto after = checkpoints_.upper_bound(position);
  if (after == checkpoints_.begin()) return false;
  --after;
  out.output_position = after->first;
  out.state = after->second;
  return true;
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
  std::lock_guard<std::mutex> lock(mutex_);
  content_size_ = size;
}

bool content_entry::verified() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return verified_;
}

void content_entry::set_verified() {
  std::lock_guard<std::mutex> lock(mutex_);
  verified_ = true;
}

void content_entry::reset() {
  std::shared_ptr<content_attachment> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  checkpoints_.clear();
  checkpoint_bytes_ = 0;
  content_size_ = unknown_size;
  verified_ = false;
  // Destroyed after the lock is let go: its holders may still use it.
  dropped = std::move(attachment_);
}

size_t content_entry::memory_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sizeof *this + checkpoint_bytes_ + (attachment_ ? attachment_->memory_bytes() : 0);
}

std::shared_ptr<content_entry> content_index_find(const std::string& canonical_path, uint64_t size,
                                                  uint64_t timestamp, uint64_t fingerprint) {
  return the_index().find({canonical_path, size, timestamp, fingerprint});
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

}  // namespace sonovale_io
