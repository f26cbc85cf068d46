// brenmoor stopped by SIGINT, SIGTERM or SIGHUP: the running operation is
// aborted, partial output removed, and the program exits by itself with
// 128 + the signal's number, saying nothing.
#include <poll.h>

#include <set>
#include <thread>

#include "tests/tools/cli_runner.h"

using namespace cli_test;

namespace {

// Only a guard against a program that never stops.
constexpr auto hang_guard = std::chrono::seconds(20);

enum class scene {
  // unpack -o onto a FIFO whose reader takes the first bytes, then stalls:
  // the program is held in its write loop.
  output_stalls,
  // unpack -o FILE, or extract, of a bzip2 stream from a FIFO whose writer
  // stalls halfway: the program waits for input.
  unpack_input_stalls,
  extract_input_stalls,
};

struct stop_case {
  const char* what;
  scene where;
  int signal_number;
};

bool wait_for_bytes(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  int limit = static_cast<int>(std::chrono::milliseconds(hang_guard).count());
  return ::poll(&p, 1, limit) == 1 && (p.revents & POLLIN) != 0;
}

// What is below `folder` besides the inputs, the target folder and the
// runner's own files: temporaries, outputs, extracted files.
std::vector<std::string> left_behind(const std::string& folder) {
  static const std::set<std::string> expected = {"zeros.gz", "noise.bz2", "dest", ".out", ".err"};
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    std::string name = std::filesystem::relative(entry.path(), folder).string();
    if (expected.count(name) == 0) names.push_back(name);
  }
  return names;
}

TEST(CliStop, SignalsAbortRemovePartialOutputAndExitWith128PlusTheSignal) {
  const stop_case cases[] = {
      {"unpack -o FIFO, SIGINT", scene::output_stalls, SIGINT},
      {"unpack -o FIFO, SIGTERM", scene::output_stalls, SIGTERM},
      {"unpack -o FIFO, SIGHUP", scene::output_stalls, SIGHUP},
      {"unpack -o FILE, SIGTERM", scene::unpack_input_stalls, SIGTERM},
      {"extract, SIGINT", scene::extract_input_stalls, SIGINT},
      {"extract, SIGTERM", scene::extract_input_stalls, SIGTERM},
  };
  workspace w;
  // 16 MB out of a small file, far more than a pipe holds; one bzip2
  // block of noise, of which half is sent.
  w.shell(
      "head -c 16000000 /dev/zero | gzip -1 > zeros.gz && "
      "head -c 200000 /dev/urandom | bzip2 > noise.bz2 && mkdir dest");
  std::string noise = read_file(w.path("noise.bz2"));
  for (const stop_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string fifo = w.path(c.where == scene::output_stalls ? "out.fifo" : "in.bz2");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    pid_t pid;
    int end;
    if (c.where == scene::output_stalls) {
      // Opened first, so the program's open finds a reader.
      end = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
      pid = w.start({"unpack", "zeros.gz", "-o", "out.fifo"});
      char first;
      ASSERT_TRUE(wait_for_bytes(end) && ::read(end, &first, 1) == 1);
    } else {
      pid = c.where == scene::unpack_input_stalls ? w.start({"unpack", "in.bz2", "-o", "out.txt"})
                                                  : w.start({"extract", "in.bz2", "-C", "dest"});
      // The program opens its input after installing its handlers; more
      // than a pipe holds is sent, so it is reading when this returns.
      end = ::open(fifo.c_str(), O_WRONLY);
      ASSERT_EQ(::write(end, noise.data(), noise.size() / 2),
                static_cast<ssize_t>(noise.size() / 2));
    }
    ::kill(pid, c.signal_number);
    run_result r = w.finish_within(pid, hang_guard);
    ::close(end);
    ::unlink(fifo.c_str());
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.exited) << "ended by signal " << r.status - 128;
    EXPECT_EQ(r.status, 128 + c.signal_number);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(left_behind(w.root()), std::vector<std::string>{});
  }
}

// Waits until the program catches `signal_number` (its handler is in
// place once the module has loaded); false when it never does.
bool wait_until_catching(pid_t pid, int signal_number) {
  auto give_up = std::chrono::steady_clock::now() + hang_guard;
  while (std::chrono::steady_clock::now() < give_up) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("SigCgt:");
    if (at != std::string::npos &&
        (std::stoull(status.substr(at + 7, 20), nullptr, 16) >> (signal_number - 1) & 1) != 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Decompression bombs: a bzip2 stream of 46 MB of zeros (under 100 bytes)
// and a gzip member of the same, each repeated 100 times. Every decoder polls
// the abort as it writes, so a signal stops any of them at once, long before
// 4 GiB are out (which takes these decoders five seconds and more here).
TEST(CliStop, DecodingBombsStopAtOnce) {
  struct bomb_case {
    const char* what;
    std::vector<std::string> arguments;
    int signal_number;
  };
  const bomb_case cases[] = {
      {"unpack bzip2 -o, SIGINT", {"unpack", "bomb.bz2", "-o", "out"}, SIGINT},
      {"unpack bzip2 -o, SIGTERM", {"unpack", "bomb.bz2", "-o", "out"}, SIGTERM},
      {"list bzip2, SIGTERM", {"list", "bomb.bz2"}, SIGTERM},
      {"stat of the bzip2 member, SIGTERM", {"stat", "unpack://bz2|8|bomb.bz2|bomb"}, SIGTERM},
      {"extract bzip2, SIGINT", {"extract", "bomb.bz2", "-C", "dest"}, SIGINT},
      {"unpack gzip -o, SIGTERM", {"unpack", "bomb.gz", "-o", "out"}, SIGTERM},
      {"extract gzip, SIGINT", {"extract", "bomb.gz", "-C", "dest"}, SIGINT},
  };
  workspace w;
  w.shell(
      "head -c 46000000 /dev/zero | bzip2 -9 > one.bz2 && head -c 46000000 /dev/zero | gzip -1 "
      "> one.gz && for i in $(seq 100); do cat one.bz2 >> bomb.bz2; cat one.gz >> bomb.gz; done "
      "&& rm one.bz2 one.gz && mkdir dest");
  for (const bomb_case& c : cases) {
    SCOPED_TRACE(c.what);
    pid_t pid = w.start(c.arguments);
    ASSERT_TRUE(wait_until_catching(pid, c.signal_number));
    // Well into the decoding, far from its end.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(pid, c.signal_number);
    run_result r = w.finish_within(pid, std::chrono::seconds(3));
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.exited) << "ended by signal " << r.status - 128;
    EXPECT_EQ(r.status, 128 + c.signal_number);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(w.root())) {
      std::string name = std::filesystem::relative(entry.path(), w.root()).string();
      static const std::set<std::string> expected = {"bomb.bz2", "bomb.gz", "dest",
                                                     ".out",     ".err",    ".shell-out"};
      if (expected.count(name) == 0) left.push_back(name);
    }
    EXPECT_EQ(left, std::vector<std::string>{});
  }
}

}  // namespace
