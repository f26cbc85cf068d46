// Running the standard command-line tools as references in tests, and
// comparing their large outputs without flooding the log.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct tool_result {
  int status;
  std::string output;
};

// Runs `command` with `input` on its standard input and collects its
// standard output; diagnostics are dropped.
inline tool_result run_tool(const std::string& command, const std::string& input) {
  char name[] = "/tmp/brenmoor_tool_input_XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fd);
  std::string line = command + " < " + name + " 2>/dev/null";
  FILE* pipe = popen(line.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  std::string output;
  char chunk[65536];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
  int status = pclose(pipe);
  unlink(name);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// Runs `command` as run_tool does, but collects its diagnostics (standard
// error) instead of its output.
inline tool_result run_tool_diagnostics(const std::string& command, const std::string& input) {
  return run_tool("sh -c '" + command + " 2>&1 >/dev/null'", input);
}

// Compares byte strings without printing them: large outputs would flood
// the log. Reports the sizes and the first differing offset.
inline ::testing::AssertionResult same_bytes(const std::string& actual,
                                             const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "got " << actual.size() << " bytes, expected "
                                       << expected.size() << ", first difference at " << at;
}

// Compares the bytes `read` gives (it fills up to `n` bytes at `out` and
// returns how many, fewer only at the end) with the standard output of
// `command`, a piece at a time, so that neither is ever held whole: for
// outputs of hundreds of MiB. The command's exit status is not looked at.
// Reports the sizes and the first differing offset, as same_bytes does.
template <typename Read>
::testing::AssertionResult same_bytes_as_output(Read read, const std::string& command) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return ::testing::AssertionFailure() << "could not run " << command;
  constexpr size_t piece = 1 << 20;
  std::vector<char> ours(piece), theirs(piece);
  uint64_t got = 0, expected = 0, differ = UINT64_MAX;
  for (;;) {
    size_t a = read(ours.data(), piece);
    size_t b = fread(theirs.data(), 1, piece, pipe);
    if (differ == UINT64_MAX) {
      size_t same =
          std::mismatch(ours.begin(), ours.begin() + std::min(a, b), theirs.begin()).first -
          ours.begin();
      if (same < a || same < b) differ = got + same;
    }
    got += a;
    expected += b;
    if (a == 0 && b == 0) break;
  }
  pclose(pipe);
  if (differ == UINT64_MAX) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "got " << got << " bytes, expected " << expected << ", first difference at " << differ;
}
