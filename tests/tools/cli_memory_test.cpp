// The program under a 512 MiB address-space limit: files that announce far
// more content than they hold cost memory only for what they hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/gzip_data.h"
#include "tests/tools/cli_runner.h"

using namespace cli_test;

namespace {

// AddressSanitizer reserves terabytes of shadow address space, so its
// builds cannot run under the limit; the peak resident memory, checked in
// every build, still tells a reservation of the announced size apart.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_space_limited = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool address_space_limited = false;
#else
constexpr bool address_space_limited = true;
#endif
#else
constexpr bool address_space_limited = true;
#endif

constexpr rlim_t address_space_limit = rlim_t{512} << 20;
constexpr long peak_limit_kib = 128 << 10;

struct limited_result {
  int status;
  std::string err;
  long peak_kib;  // the child's peak resident memory
};

// Runs brenmoor with `args` in `w`'s folder under the address-space limit.
// With `fifo`, writes `feed` into that named pipe once the program has
// opened it, then closes it.
limited_result run_limited(const workspace& w, std::vector<std::string> args,
                           const std::string& fifo = "", const std::string& feed = "") {
  args.insert(args.begin(), BRENMOOR_CLI_PATH);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string out = w.path(".out"), err = w.path(".err");

  pid_t pid = ::fork();
  if (pid == 0) {
    struct rlimit limit = {address_space_limit, address_space_limit};
    if (address_space_limited && ::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(120);
    int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out_fd < 0 || err_fd < 0 || ::chdir(w.root().c_str()) != 0) ::_exit(121);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    ::execv(argv[0], argv.data());
    ::_exit(122);
  }
  EXPECT_GT(pid, 0);

  int raw = 0;
  struct rusage usage {};
  bool collected = false;
  if (!fifo.empty()) {
    // Wait for the reader without blocking, so that a program that never
    // opens the pipe fails the test instead of hanging it.
    int writer = -1;
    while (writer < 0 && !collected) {
      writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer < 0) {
        EXPECT_EQ(errno, ENXIO);
        collected = ::wait4(pid, &raw, WNOHANG, &usage) == pid;
        ::usleep(2000);
      }
    }
    if (writer >= 0) {
      // Less than a pipe holds, so the write does not wait for the reader.
      EXPECT_EQ(::write(writer, feed.data(), feed.size()), static_cast<ssize_t>(feed.size()));
      ::close(writer);
    }
  }
  if (!collected) {
    EXPECT_EQ(::wait4(pid, &raw, 0, &usage), pid);
  }
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), read_file(err), usage.ru_maxrss};
}

}  // namespace

TEST(CliMemory, AnnouncedSizesAreNotReservedUpFront) {
  workspace w;
  // A 6-byte member, zero padding to 2 MB, and a last word announcing
  // 2^31 - 1 bytes.
  std::string padded = gzip_member("hello\n");
  padded.resize(2000000);
  set_trailer_size(padded, 0x7FFFFFFF);
  w.write("padded.gz", padded);
  std::string corrupt = padded;
  corrupt[12] = static_cast<char>(corrupt[12] ^ 0xFF);
  w.write("corrupt.gz", corrupt);
  // A header claiming 4 GiB - 2 bytes and one block of them, through a pipe,
  // where the archive's size is unknown.
  std::string claim = read_file(std::string(TESTDATA_DIR) + "/tar-size-4-gib-minus-2.tar");
  ASSERT_EQ(claim.size(), 1024u);
  ASSERT_EQ(::mkfifo(w.path("stream.tar").c_str(), 0600), 0);
  const std::string claimed_member = member_path("tar", "stream.tar", "big");

  struct row {
    std::vector<std::string> args;
    std::string feed;  // written into stream.tar when not empty
    int status;
    std::string err;
    std::string output;  // out.txt, for a success
  } rows[] = {
      {{"unpack", "padded.gz", "-o", "out.txt"}, "", 0, "", "hello\n"},
      {{"unpack", "corrupt.gz", "-o", "out.txt"},
       "",
       1,
       "brenmoor: corrupt.gz:  corrupt file\n",
       ""},
      {{"cat", claimed_member},
       claim,
       1,
       "brenmoor: " + claimed_member + ": Unsupported format or corrupted file\n",
       ""},
  };
  // A reader that went away must fail the write, not end the test.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  for (const row& r : rows) {
    SCOPED_TRACE(r.args[1]);
    std::filesystem::remove(w.path("out.txt"));
    limited_result result =
        run_limited(w, r.args, r.feed.empty() ? "" : w.path("stream.tar"), r.feed);
    EXPECT_EQ(result.status, r.status);
    EXPECT_EQ(result.err, r.err);
    EXPECT_LT(result.peak_kib, peak_limit_kib);
    if (r.status == 0) {
      EXPECT_EQ(read_file(w.path("out.txt")), r.output);
    }
  }
  ::sigaction(SIGPIPE, &previous, nullptr);
}
