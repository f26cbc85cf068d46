#include "tools/mount_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <vector>

#include "archive/member_path.h"
#include "host/host_time.h"
#include "tools/member_listing.h"
#include "tools/member_stream.h"
#include "tools/output.h"

using namespace sonovale_io;

namespace {

// The tree and the members never change while mounted, so the kernel may
// keep names and attributes for long.
constexpr double entry_timeout = 86400;
// Sizes may still change once: a member whose listed size was the gzip
// trailer's announcement shows its real size after its first open.
constexpr double attr_timeout = 1;

constexpr mode_t folder_mode = S_IFDIR | 0555;
constexpr mode_t file_mode = S_IFREG | 0444;

// The host's abort, or the FUSE request's interruption (the reading program
// gave up, Ctrl-C on `cat`).
class request_abort : public abort_callback {
 public:
  request_abort(const abort_callback& host, fuse_req_t req) : host_(host), req_(req) {}
  bool is_aborting() const override { return host_.is_aborting() || interrupted(); }
  void* get_abort_event() const override { return nullptr; }
  bool interrupted() const { return req_ != nullptr && fuse_req_interrupted(req_) != 0; }

 private:
  const abort_callback& host_;
  fuse_req_t req_;
};

uint32_t index_of(fuse_ino_t ino) {
  return static_cast<uint32_t>(ino - FUSE_ROOT_ID);
}

fuse_ino_t ino_of(uint32_t index) {
  return static_cast<fuse_ino_t>(index) + FUSE_ROOT_ID;
}

mount_filesystem& self(fuse_req_t req) {
  return *static_cast<mount_filesystem*>(fuse_req_userdata(req));
}

// One member as a listing reported it.
struct listed_member {
  std::string path;
  std::string name;
  file_stats stats;
  bool as_archive;
};

class collect_callback : public host_member_callback {
 public:
  collect_callback(abort_callback& abort, sonovale_host& host, bool recursive,
                   std::vector<listed_member>& out)
      : host_member_callback(abort), host_(host), recursive_(recursive), out_(out) {}

 protected:
  bool handle(archive*, const char* path, const file_stats& stats, file_ptr&) override {
    // A nested archive is shown as a folder only while its members' paths
    // stay within the module's nesting limit.
    bool as_archive = recursive_ && host_.archive_for(path) != nullptr &&
                      member_path_depth(path) < max_member_path_depth;
    out_.push_back({path, member_name_of(path), stats, as_archive});
    return true;
  }

 private:
  sonovale_host& host_;
  bool recursive_;
  std::vector<listed_member>& out_;
};

std::vector<listed_member> list_archive(sonovale_host& host, const std::string& path,
                                        bool recursive, abort_callback& abort) {
  std::vector<listed_member> members;
  collect_callback callback(abort, host, recursive, members);
  callback.run(require_archive(host, path), path, {}, false);
  return members;
}

// True when the archive service for `path` is one of a compressed format
// (it also registers an unpacker): such an archive holds one member.
bool is_compressed(sonovale_host& host, const std::string& path) {
  archive_impl* a = host.archive_for(path.c_str());
  if (a == nullptr) return false;
  for (const unpacker_service& u : host.unpackers()) {
    if (u.type == a->get_type_name()) return true;
  }
  return false;
}

}  // namespace

int errno_of_failure(bool interrupted, const abort_callback& abort, std::string& message,
                     bool& aborted) {
  aborted = false;
  try {
    throw;
  } catch (const exception_aborted& e) {
    message = e.what();
    aborted = true;
  } catch (const exception_io_not_found& e) {
    message = e.what();
    return ENOENT;
  } catch (const exception_io_denied& e) {
    message = e.what();
    return EACCES;
  } catch (const std::bad_alloc& e) {
    message = e.what();
    return ENOMEM;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  // A layer may turn an abort into another error on its way up.
  if (aborted || abort.is_aborting()) {
    aborted = true;
    return interrupted ? EINTR : ECANCELED;
  }
  return EIO;
}

// One member's open, shared by the FUSE opens of it. `mutex` guards `file`
// and `size` (a module file is used by one thread at a time); the rest is
// guarded by the filesystem's open_mutex_.
struct mount_filesystem::open_member {
  enum class state { opening, ready, failed };
  state status = state::opening;
  int error = 0;
  bool aborted = false;
  unsigned users = 0;
  uint32_t node = 0;
  std::mutex mutex;
  file_ptr file;
  uint64_t size = unknown_size;
};

mount_filesystem::mount_filesystem(sonovale_host& host, mount_tree tree, bool recursive)
    : host_(host),
      recursive_(recursive),
      uid_(::getuid()),
      gid_(::getgid()),
      tree_(std::move(tree)),
      stream_(std::make_unique<member_stream>(host)) {}

mount_filesystem::~mount_filesystem() {
  stream_.reset();
  open_.clear();
}

void mount_filesystem::list_into(uint32_t index, abort_callback& abort) {
  std::string path;
  {
    std::shared_lock<std::shared_mutex> lock(tree_mutex_);
    path = tree_.node(index).member_path;
  }
  std::vector<listed_member> members = list_archive(host_, path, recursive_, abort);
  std::unique_lock<std::shared_mutex> lock(tree_mutex_);
  uint32_t ordinal = 0;
  for (listed_member& m : members) {
    tree_.add_member(index, ordinal++, m.name, std::move(m.path), m.stats.size, m.stats.timestamp,
                     m.as_archive);
  }
  tree_.node(index).listing = listing_state::listed;
}

void mount_filesystem::list_root(abort_callback& abort) {
  // A compressed TAR (.tar.gz, .tgz, .tar.bz2) shows the TAR's members: the
  // root stands for the one member when that member is an archive itself.
  std::string path = tree_.node(mount_tree::root).member_path;
  for (unsigned depth = 1; is_compressed(host_, path) && depth < max_member_path_depth; ++depth) {
    std::vector<listed_member> members = list_archive(host_, path, false, abort);
    if (members.size() != 1 || host_.archive_for(members[0].path.c_str()) == nullptr) break;
    path = members[0].path;
  }
  tree_.node(mount_tree::root).member_path = path;
  list_into(mount_tree::root, abort);
}

void mount_filesystem::log_once(uint32_t index, const std::string& message) {
  std::string path;
  {
    std::unique_lock<std::shared_mutex> lock(tree_mutex_);
    mount_node& n = tree_.node(index);
    if (n.logged) return;
    n.logged = true;
    path = n.member_path;
  }
  report_error(path, message);
}

int mount_filesystem::ensure_listed(uint32_t index, fuse_req_t req) {
  std::unique_lock<std::shared_mutex> lock(tree_mutex_);
  for (;;) {
    mount_node& n = tree_.node(index);
    if (n.listing == listing_state::listed) return 0;
    if (n.listing == listing_state::failed) return n.listing_error;
    if (n.listing == listing_state::listing) {
      listed_.wait(lock);
      continue;
    }
    n.listing = listing_state::listing;
    lock.unlock();
    request_abort abort(host_.abort(), req);
    int error = 0;
    bool aborted = false;
    std::string message;
    try {
      list_into(index, abort);
    } catch (...) {
      error = errno_of_failure(abort.interrupted(), abort, message, aborted);
    }
    lock.lock();
    if (error != 0) {
      // An aborted listing is tried again on the next entry.
      n.listing = aborted ? listing_state::unlisted : listing_state::failed;
      n.listing_error = error;
    }
    listed_.notify_all();
    lock.unlock();
    if (error != 0 && !aborted) log_once(index, message);
    return error;
  }
}

struct stat mount_filesystem::attributes(uint32_t index) const {
  const mount_node& n = tree_.node(index);
  struct stat st {};
  st.st_ino = ino_of(index);
  st.st_uid = uid_;
  st.st_gid = gid_;
  timespec time = n.timestamp == unknown_size ? timespec{} : timespec_from_timestamp(n.timestamp);
  st.st_atim = st.st_mtim = st.st_ctim = time;
  st.st_blksize = 64 * 1024;
  if (n.is_folder()) {
    st.st_mode = folder_mode;
    // Unknown (1) until listed, so that no walker skips it as a leaf.
    st.st_nlink = n.listing == listing_state::listed ? 2 + n.subfolders : 1;
  } else {
    st.st_mode = file_mode;
    st.st_nlink = 1;
    st.st_size = n.size == unknown_size ? 0 : static_cast<off_t>(n.size);
    st.st_blocks = (st.st_size + 511) / 512;
  }
  return st;
}

void mount_filesystem::lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  uint32_t folder = index_of(parent);
  {
    std::shared_lock<std::shared_mutex> lock(tree_mutex_);
    if (folder >= tree_.size() || !tree_.node(folder).is_folder()) {
      fuse_reply_err(req, ENOTDIR);
      return;
    }
  }
  if (int error = ensure_listed(folder, req); error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  std::shared_lock<std::shared_mutex> lock(tree_mutex_);
  uint32_t found = tree_.child(folder, name);
  if (found == mount_tree::none) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = ino_of(found);
  entry.attr = attributes(found);
  entry.attr_timeout = attr_timeout;
  entry.entry_timeout = entry_timeout;
  fuse_reply_entry(req, &entry);
}

void mount_filesystem::getattr(fuse_req_t req, fuse_ino_t ino) {
  uint32_t index = index_of(ino);
  std::shared_lock<std::shared_mutex> lock(tree_mutex_);
  if (index >= tree_.size()) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st = attributes(index);
  fuse_reply_attr(req, &st, attr_timeout);
}

void mount_filesystem::opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  uint32_t index = index_of(ino);
  {
    std::shared_lock<std::shared_mutex> lock(tree_mutex_);
    if (index >= tree_.size()) {
      fuse_reply_err(req, ENOENT);
      return;
    }
    if (!tree_.node(index).is_folder()) {
      fuse_reply_err(req, ENOTDIR);
      return;
    }
  }
  if (int error = ensure_listed(index, req); error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  fi->cache_readdir = 1;
  fi->keep_cache = 1;
  fuse_reply_open(req, fi);
}

void mount_filesystem::readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset) {
  uint32_t index = index_of(ino);
  std::vector<char> buffer(size);
  size_t used = 0;
  std::shared_lock<std::shared_mutex> lock(tree_mutex_);
  const mount_node& folder = tree_.node(index);
  // Offsets: 0 ".", 1 "..", 2 + i the i-th child; each entry carries the
  // offset of the one after it.
  size_t count = 2 + folder.children.size();
  for (size_t i = static_cast<size_t>(std::max<off_t>(offset, 0)); i < count; ++i) {
    struct stat st {};
    const char* name;
    if (i < 2) {
      name = i == 0 ? "." : "..";
      st.st_ino = i == 0 ? ino : ino_of(folder.parent);
      st.st_mode = folder_mode;
    } else {
      uint32_t child = folder.children[i - 2];
      name = tree_.node(child).name.c_str();
      st.st_ino = ino_of(child);
      st.st_mode = tree_.node(child).is_folder() ? folder_mode : file_mode;
    }
    size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, name, &st,
                                    static_cast<off_t>(i + 1));
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

std::shared_ptr<mount_filesystem::open_member> mount_filesystem::acquire(uint32_t index,
                                                                         fuse_req_t req,
                                                                         int& error) {
  request_abort abort(host_.abort(), req);
  for (;;) {
    std::unique_lock<std::mutex> lock(open_mutex_);
    std::shared_ptr<open_member>& slot = open_[index];
    if (slot) {
      std::shared_ptr<open_member> m = slot;
      ++m->users;
      opened_.wait(lock, [&] { return m->status != open_member::state::opening; });
      if (m->status == open_member::state::ready) return m;
      --m->users;
      // The program that opened it gave up; this one has not.
      if (m->aborted && !abort.is_aborting()) continue;
      error = m->error;
      return nullptr;
    }
    std::shared_ptr<open_member> m = slot = std::make_shared<open_member>();
    m->users = 1;
    m->node = index;
    std::string path, archive_path;
    uint32_t ordinal = 0;
    bool streamable = false;
    {
      std::shared_lock<std::shared_mutex> tree_lock(tree_mutex_);
      const mount_node& n = tree_.node(index);
      path = n.member_path;
      archive_path = tree_.node(n.archive).member_path;
      ordinal = n.ordinal;
      // Members of a plain local TAR open by reading headers alone; only
      // archives inside another file pay for a walk that a pass can share.
      streamable = archive_path.compare(0, member_path_prefix_length, member_path_prefix) == 0;
    }
    lock.unlock();

    std::string message;
    bool aborted = false;
    int failure = 0;
    file_ptr file;
    uint64_t size = unknown_size;
    try {
      if (streamable) file = stream_->take(archive_path, ordinal, abort);
      if (file.is_empty()) filesystem::g_open(file, path.c_str(), open_mode_read, abort);
      size = file->get_size(abort);
    } catch (...) {
      failure = errno_of_failure(abort.interrupted(), abort, message, aborted);
      file.release();
    }

    lock.lock();
    if (failure == 0) {
      {
        // Reads take this lock, possibly on another thread.
        std::lock_guard<std::mutex> member_lock(m->mutex);
        m->file = std::move(file);
        m->size = size;
      }
      m->status = open_member::state::ready;
    } else {
      m->status = open_member::state::failed;
      m->error = failure;
      m->aborted = aborted;
      open_.erase(index);
    }
    opened_.notify_all();
    lock.unlock();
    if (failure != 0) {
      if (!aborted) log_once(index, message);
      error = failure;
      return nullptr;
    }
    return m;
  }
}

void mount_filesystem::open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  uint32_t index = index_of(ino);
  uint64_t listed_size;
  {
    std::shared_lock<std::shared_mutex> lock(tree_mutex_);
    if (index >= tree_.size()) {
      fuse_reply_err(req, ENOENT);
      return;
    }
    if (tree_.node(index).is_folder()) {
      fuse_reply_err(req, EISDIR);
      return;
    }
    listed_size = tree_.node(index).size;
  }
  if ((fi->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(req, EROFS);
    return;
  }
  int error = 0;
  std::shared_ptr<open_member> m = acquire(index, req, error);
  if (!m) {
    fuse_reply_err(req, error);
    return;
  }
  if (m->size != listed_size) {
    // The listing announced another size (a gzip trailer's, or none): the
    // kernel may hold that size, so this open bypasses its cache, and later
    // lookups see the real size.
    fi->direct_io = 1;
    if (m->size != unknown_size) {
      std::unique_lock<std::shared_mutex> lock(tree_mutex_);
      tree_.node(index).size = m->size;
    }
  } else {
    // The content never changes while mounted.
    fi->keep_cache = 1;
  }
  fi->fh = reinterpret_cast<uint64_t>(m.get());
  if (fuse_reply_open(req, fi) != 0) {
    // The program gave up meanwhile: the kernel will send no release.
    release(nullptr, fi);
  }
}

void mount_filesystem::read(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi) {
  auto* m = reinterpret_cast<open_member*>(fi->fh);
  request_abort abort(host_.abort(), req);
  std::unique_ptr<char[]> buffer;
  uint32_t got = 0;
  try {
    std::lock_guard<std::mutex> lock(m->mutex);
    auto position = static_cast<uint64_t>(offset);
    uint64_t left = m->size == unknown_size ? size : position >= m->size ? 0 : m->size - position;
    auto count = static_cast<uint32_t>(std::min<uint64_t>(size, left));
    if (count > 0) {
      buffer.reset(new char[count]);
      m->file->seek(position, abort);
      got = m->file->read(buffer.get(), count, abort);
    }
  } catch (...) {
    std::string message;
    bool aborted = false;
    int error = errno_of_failure(abort.interrupted(), abort, message, aborted);
    if (!aborted) log_once(m->node, message);
    fuse_reply_err(req, error);
    return;
  }
  fuse_reply_buf(req, buffer.get(), got);
}

void mount_filesystem::release(fuse_req_t req, fuse_file_info* fi) {
  auto* m = reinterpret_cast<open_member*>(fi->fh);
  std::shared_ptr<open_member> last;
  {
    std::lock_guard<std::mutex> lock(open_mutex_);
    if (--m->users == 0) {
      auto found = open_.find(m->node);
      if (found != open_.end() && found->second.get() == m) {
        last = std::move(found->second);
        open_.erase(found);
      }
    }
  }
  last.reset();  // the member's content goes here, outside the lock
  if (req != nullptr) fuse_reply_err(req, 0);
}

const fuse_lowlevel_ops& mount_filesystem::operations() {
  static const fuse_lowlevel_ops ops = [] {
    fuse_lowlevel_ops o{};
    o.lookup = [](fuse_req_t req, fuse_ino_t parent, const char* name) {
      self(req).lookup(req, parent, name);
    };
    o.getattr = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
      self(req).getattr(req, ino);
    };
    o.opendir = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
      self(req).opendir(req, ino, fi);
    };
    o.readdir = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
      self(req).readdir(req, ino, size, offset);
    };
    o.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
      self(req).open(req, ino, fi);
    };
    o.read = [](fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
      self(req).read(req, size, offset, fi);
    };
    o.release = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { self(req).release(req, fi); };
    return o;
  }();
  return ops;
}
