// The filesystem that `brenmoor mount` serves over FUSE: the tree of one
// archive's members, each file read from the member's content as the
// module's open gives it.
//
// Everything goes through the module's services as `cat` and `list` use
// them: archives are listed with their archive service, members opened by
// their member paths through the host's dispatch. The module's failures
// reach the reading program as an errno (see errno_of_failure) and are
// logged once per file on standard error.
//
// FUSE calls the operations from several threads at once. The tree is
// guarded by one reader-writer lock; listings and the module's opens run
// outside it. Open files of one member share one open (its in-memory
// file), counted by the FUSE opens that hold it; reads of it take the
// member's own lock, since a module file is used by one thread at a time.
#pragma once

#ifndef FUSE_USE_VERSION
#define FUSE_USE_VERSION 314
#endif
#include <fuse_lowlevel.h>
#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "host/host.h"
#include "tools/mount_tree.h"

class member_stream;

// The errno for the exception being handled (call inside a catch block):
// ECANCELED for an abort (EINTR when `interrupted`, the reading program
// gave up), ENOENT for exception_io_not_found, EACCES for
// exception_io_denied, ENOMEM for an allocation failure, EIO for anything
// else (corrupt or truncated data, a failing host file). `message` gets the
// exception's text; `aborted` tells an abort (which is not logged).
int errno_of_failure(bool interrupted, const abort_callback& abort, std::string& message,
                     bool& aborted);

class mount_filesystem {
 public:
  // Serves `tree`, whose root stands for the archive to show. With
  // `recursive`, members that an archive service claims are shown as
  // folders of their members, listed on first entry. `host` must outlive
  // the object.
  mount_filesystem(sonovale_host& host, mount_tree tree, bool recursive);
  // Stops the read-ahead listing and releases every member still open.
  ~mount_filesystem();
  mount_filesystem(const mount_filesystem&) = delete;
  mount_filesystem& operator=(const mount_filesystem&) = delete;

  // Lists the root archive into the tree, on the calling thread. Throws
  // what the listing throws (the archive's failure, exception_aborted).
  void list_root(abort_callback& abort);

  // The operations to hand to fuse_session_new with this object as the
  // user data.
  static const fuse_lowlevel_ops& operations();

  // The operations, one per FUSE request; each replies to `req`.
  void lookup(fuse_req_t req, fuse_ino_t parent, const char* name);
  void getattr(fuse_req_t req, fuse_ino_t ino);
  void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
  void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset);
  void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
  void read(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi);
  void release(fuse_req_t req, fuse_file_info* fi);

 private:
  struct open_member;

  // Makes sure the archive node `index` has its members in the tree: lists
  // it once (other callers wait for that listing). Returns 0 or the errno
  // of the failure; a listing stopped by an abort is tried again by the
  // next caller.
  int ensure_listed(uint32_t index, fuse_req_t req);
  // Lists the archive of node `index` and adds its members. Throws.
  void list_into(uint32_t index, abort_callback& abort);
  // Opens node `index`'s member, shared with the other opens of it; null
  // with `error` set on failure.
  std::shared_ptr<open_member> acquire(uint32_t index, fuse_req_t req, int& error);
  // Writes "brenmoor: <member path>: <message>" once per node.
  void log_once(uint32_t index, const std::string& message);
  struct stat attributes(uint32_t index) const;  // under tree_mutex_

  sonovale_host& host_;
  bool recursive_;
  uid_t uid_;
  gid_t gid_;

  mutable std::shared_mutex tree_mutex_;
  std::condition_variable_any listed_;  // a listing ended
  mount_tree tree_;

  std::mutex open_mutex_;
  std::condition_variable opened_;  // an open ended
  std::unordered_map<uint32_t, std::shared_ptr<open_member>> open_;
  std::unique_ptr<member_stream> stream_;
};
