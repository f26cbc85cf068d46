// Mounting archives with `brenmoor mount` in end-to-end tests: whether
// FUSE can be used here, and a mount that is always taken down again.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/cli_runner.h"

namespace cli_test {

// Empty when FUSE can be used here; otherwise why not.
inline std::string fuse_unavailable() {
  int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return "/dev/fuse cannot be opened: " + std::string(std::strerror(errno));
  ::close(fd);
  if (std::system("command -v fusermount3 > /dev/null 2>&1") != 0) return "no fusermount3";
  return "";
}

#define SKIP_WITHOUT_FUSE()                                             \
  do {                                                                  \
    std::string why_ = ::cli_test::fuse_unavailable();                  \
    if (!why_.empty()) GTEST_SKIP() << "mount tests skipped: " << why_; \
  } while (0)

// True while a filesystem is mounted at `dir` (its device differs from its
// parent's).
inline bool is_mounted(const std::string& dir) {
  struct stat here {
  }, parent{};
  if (::stat(dir.c_str(), &here) != 0) return false;
  if (::stat((dir + "/..").c_str(), &parent) != 0) return false;
  return here.st_dev != parent.st_dev;
}

// Waits up to `limit` for `dir` to reach the `mounted` state.
inline bool wait_mounted(const std::string& dir, bool mounted,
                         std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (is_mounted(dir) != mounted) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// `brenmoor mount ARCHIVE DIR -f [OPTIONS]` running in the background of a
// workspace, with DIR made below the workspace. The destructor unmounts
// (lazily, so a failing test cannot leave a busy mount behind) and ends the
// program. Declare it after the workspace, so that it goes first.
class foreground_mount {
 public:
  foreground_mount(const workspace& ws, const std::string& archive,
                   const std::vector<std::string>& options = {})
      : ws_(ws), dir_(ws.path("mnt")) {
    std::filesystem::create_directories(dir_);
    std::vector<std::string> args = {"mount", archive, dir_, "-f"};
    args.insert(args.end(), options.begin(), options.end());
    pid_ = ws.start(args);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!is_mounted(dir_)) {
      if (exited() || std::chrono::steady_clock::now() > deadline) {
        result_ = ws.finish_within(pid_, std::chrono::seconds(5));
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    mounted_ = true;
  }
  ~foreground_mount() {
    if (is_mounted(dir_)) {
      std::string command = "fusermount3 -u -z '" + dir_ + "' 2>/dev/null";
      int ignored = std::system(command.c_str());
      (void)ignored;
    }
    if (pid_ > 0) {
      ws_.finish_within(pid_, std::chrono::seconds(10));
    }
  }
  foreground_mount(const foreground_mount&) = delete;
  foreground_mount& operator=(const foreground_mount&) = delete;

  bool mounted() const { return mounted_; }
  // What the program said when it ended before mounting.
  const run_result& failure() const { return result_; }
  const std::string& dir() const { return dir_; }
  pid_t pid() const { return pid_; }
  // Sends `signal` and collects the program; the mount is its to remove.
  run_result stop(int signal) {
    ::kill(pid_, signal);
    run_result r = ws_.finish_within(pid_, std::chrono::seconds(20));
    pid_ = -1;
    return r;
  }

 private:
  bool exited() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid != 0;
  }

  const workspace& ws_;
  std::string dir_;
  pid_t pid_ = -1;
  bool mounted_ = false;
  run_result result_{};
};

}  // namespace cli_test
