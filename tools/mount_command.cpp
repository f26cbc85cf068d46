#include "tools/mount_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tools/exit_status.h"
#include "tools/member_listing.h"
#include "tools/mount_fs.h"
#include "tools/output.h"
#include "tools/progress.h"
#include "tools/report_failure.h"
#include "tools/unique_fd.h"

extern char** environ;

using namespace sonovale_io;

namespace {

std::atomic<fuse_session*> g_session{nullptr};
static_assert(std::atomic<fuse_session*>::is_always_lock_free);

// Publishes the session to the stop-signal handler for its lifetime.
struct session_publication {
  explicit session_publication(fuse_session* se) { g_session.store(se); }
  ~session_publication() { g_session.store(nullptr); }
};

// The archive's own time stamp, for the root folder; 0 when it cannot be
// told.
uint64_t archive_timestamp(const std::string& path, abort_callback& abort) {
  try {
    service_ptr_t<filesystem> fs;
    filesystem::g_require_filesystem(fs, path.c_str());
    file_stats stats{};
    bool writable = false;
    fs->get_stats(path.c_str(), stats, writable, abort);
    return stats.timestamp;
  } catch (const std::exception&) {
    return 0;  // the listing reports what is wrong with the archive
  }
}

// Runs the FUSE loop with several threads, so that a slow open does not
// hold up other programs.
int serve(fuse_session* se) {
  fuse_loop_config* config = fuse_loop_cfg_create();
  if (config == nullptr) return -1;
  fuse_loop_cfg_set_max_threads(config, 16);
  int result = fuse_session_loop_mt(se, config);
  fuse_loop_cfg_destroy(config);
  return result;
}

}  // namespace

void mount_stop_signal() {
  fuse_session* se = g_session.load();
  if (se != nullptr) fuse_session_exit(se);
}

int run_mount(sonovale_host& host, const arguments& args) {
  const std::string& archive = args.paths[0];
  const std::string& mountpoint = args.paths[1];
  struct stat target {};
  if (::stat(mountpoint.c_str(), &target) != 0) {
    report_error(mountpoint, std::strerror(errno));
    return exit_error;
  }
  if (!S_ISDIR(target.st_mode)) {
    report_error(mountpoint, std::strerror(ENOTDIR));
    return exit_error;
  }

  mount_tree tree(archive, archive_timestamp(archive, host.abort()));
  mount_filesystem fs(host, std::move(tree), args.recursive);
  try {
    bool show = !args.quiet && ::isatty(STDERR_FILENO) == 1;
    progress_line progress(host.native(), source_size(host, archive, host.abort()), show);
    fs.list_root(host.abort());
  } catch (const std::exception&) {
    report_failure(archive, host.abort());
    return exit_error;
  }

  // Read-only, checked by the kernel against the modes shown (0444, 0555).
  std::vector<std::string> options = {"brenmoor", "-o",
                                      "ro,default_permissions,fsname=brenmoor,subtype=brenmoor"};
  std::vector<char*> argv;
  for (std::string& o : options) argv.push_back(o.data());
  fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_session* se =
      fuse_session_new(&fargs, &mount_filesystem::operations(), sizeof(fuse_lowlevel_ops), &fs);
  fuse_opt_free_args(&fargs);  // the option parser may have copied them
  if (se == nullptr) {
    report_error(mountpoint, "cannot start a FUSE session");
    return exit_error;
  }
  int status = exit_ok;
  session_publication published(se);
  if (fuse_session_mount(se, mountpoint.c_str()) != 0) {
    report_error(mountpoint, "cannot mount (is /dev/fuse there, and may this user mount?)");
    fuse_session_destroy(se);
    return exit_error;
  }
  // Detaching changes to "/" and closes the standard streams; relative
  // archive paths and error lines still need the originals.
  if (!args.foreground) {
    unique_fd cwd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unique_fd saved_stderr(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    if (fuse_daemonize(0) != 0) {
      report_error(mountpoint, "cannot detach; unmounted");
      fuse_session_unmount(se);
      fuse_session_destroy(se);
      return exit_error;
    }
    if (cwd.valid() && ::fchdir(cwd.get()) != 0) {
      // Relative member paths then fail to open, and say so.
    }
    if (saved_stderr.valid()) ::dup2(saved_stderr.get(), STDERR_FILENO);
  }
  // A stop signal that came before the session was published set only the
  // abort; one after it ends the loop as it starts.
  if (!host.abort().is_aborting() && serve(se) != 0 && !host.abort().is_aborting()) {
    report_error(mountpoint, "the FUSE loop failed");
    status = exit_error;
  }
  fuse_session_unmount(se);
  fuse_session_destroy(se);
  return status;
}

int run_umount(const arguments& args) {
  const std::string& mountpoint = args.paths[0];
  std::vector<std::string> all = {"fusermount3", "-u", mountpoint};
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = ::posix_spawnp(&pid, "fusermount3", nullptr, nullptr, argv.data(), environ);
  if (spawned != 0) {
    report_error("fusermount3", std::strerror(spawned));
    return exit_error;
  }
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) {
    // fusermount3 has said why on standard error.
    report_error(mountpoint, "not unmounted");
    return exit_error;
  }
  return exit_ok;
}

const char* fuse_library_version() {
  return fuse_pkgversion();
}
