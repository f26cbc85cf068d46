// Running the standard command-line tools as references in tests, and
// comparing their large outputs without flooding the log.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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
