// Runs the built `brenmoor` program and the standard archive tools for the
// end-to-end tests, in a temporary folder of their own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/temp_folder.h"

extern char** environ;

namespace cli_test {

struct run_result {
  int status;  // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
  bool exited = true;      // false when a signal ended the program
  bool timed_out = false;  // finish_within gave up and killed it
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The exit status, or 128 + the signal that ended the process; `exited`,
// when given, tells the two apart.
inline int wait_status(pid_t pid, bool* exited = nullptr) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
  }
  if (exited != nullptr) *exited = WIFEXITED(raw);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// A temporary folder that the test works in; removed at the end.
class workspace {
 public:
  workspace() : folder_("brenmoor-cli") {}

  const std::string& root() const { return folder_.path(); }
  std::string path(const std::string& name) const { return root() + "/" + name; }

  // Writes the file `name` below the folder, making its folders; returns
  // its path.
  std::string write(const std::string& name, const std::string& content) const {
    return folder_.write(name, content);
  }

  // Runs a shell command in the folder (bash, so pipelines can report
  // PIPESTATUS); returns its standard output. Fails the test when the
  // command fails.
  std::string shell(const std::string& command) const {
    std::string full = "cd '" + root() + "' && " + command;
    std::string out_path = path(".shell-out");
    pid_t pid;
    std::vector<std::string> args = {"bash", "-c", full};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    int spawned = ::posix_spawnp(&pid, "bash", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    if (spawned != 0) return "";
    int status = wait_status(pid);
    EXPECT_EQ(status, 0) << "command failed: " << command;
    std::string out = read_file(out_path);
    std::filesystem::remove(out_path);
    return out;
  }

  // Runs brenmoor with `args` in this folder, with standard input from
  // `input` (empty: /dev/null); standard output and error are captured.
  run_result run(const std::vector<std::string>& args, const std::string& input = "",
                 const std::vector<std::string>& environment = {}) const {
    pid_t pid = start(args, input, environment);
    run_result r;
    r.status = wait_status(pid);
    r.out = read_file(path(".out"));
    r.err = read_file(path(".err"));
    return r;
  }

  // Starts brenmoor like run and returns its process id; finish collects it.
  pid_t start(const std::vector<std::string>& args, const std::string& input = "",
              const std::vector<std::string>& environment = {}) const {
    std::vector<std::string> all = {BRENMOOR_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The entries given replace the inherited ones of the same name: a
    // duplicate name would leave the choice to the loader (glibc takes the
    // first, qemu's user-mode emulator the last).
    std::vector<std::string> env_text = environment;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string_view entry(*e);
      std::string_view name = entry.substr(0, entry.find('=') + 1);
      bool replaced = !name.empty() && std::any_of(environment.begin(), environment.end(),
                                  [&](const std::string& given) { return given.starts_with(name); });
      if (!replaced) env_text.emplace_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string in_path = input.empty() ? "/dev/null" : write(".in", input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, root().c_str());
    posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, path(".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, path(".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int spawned =
        ::posix_spawn(&pid, BRENMOOR_CLI_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    return pid;
  }

  run_result finish(pid_t pid) const {
    run_result r;
    r.status = wait_status(pid, &r.exited);
    r.out = read_file(path(".out"));
    r.err = read_file(path(".err"));
    return r;
  }

  // Like finish, but a program still running after `limit` is killed
  // (SIGKILL) and reported with timed_out: a guard against hangs, not a
  // measure of speed, so give it ample time.
  run_result finish_within(pid_t pid, std::chrono::milliseconds limit) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto running = [pid] {
      siginfo_t info{};
      return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
             info.si_pid == 0;
    };
    bool timed_out = false;
    while (running()) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        timed_out = true;
        break;
      }
      ::usleep(1000);
    }
    run_result r = finish(pid);
    r.timed_out = timed_out;
    return r;
  }

 private:
  temp_folder folder_;
};

// The member path of `member` in the archive at `archive` of type `type`.
inline std::string member_path(const std::string& type, const std::string& archive,
                               const std::string& member) {
  return "unpack://" + type + "|" + std::to_string(archive.size()) + "|" + archive + "|" + member;
}

// Regular files below `folder`, relative, with their content, by name.
inline std::vector<std::pair<std::string, std::string>> tree_of(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    files.emplace_back(std::filesystem::relative(entry.path(), folder).string(),
                       read_file(entry.path().string()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace cli_test
