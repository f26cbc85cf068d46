// brenmoor end to end without archives: info, usage, stat and cat on local
// files, errors, closed pipes and Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#define FUSE_USE_VERSION 314
#include <fuse.h>
#if BRENMOOR_ISAL
#include <isa-l.h>
#endif
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <filesystem>

#include "tests/tools/cli_runner.h"

using namespace cli_test;

namespace {

TEST(CliInfo, DescribesTheModuleAndItsServices) {
  workspace w;
  run_result r = w.run({"info"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_GE(lines.size(), 11u);
  EXPECT_EQ(lines[0], "name: Brenmoor");
  EXPECT_EQ(lines[1], "version: 1.8");
  EXPECT_EQ(lines[2], "description: Reads Unix tape archives, (.TAR) gzip archives, (.GZ)");
  EXPECT_EQ(lines[3], "  and bzip2 archives. (.BZ2)");
  EXPECT_EQ(lines[4], "module name: brenmoor");
  EXPECT_EQ(lines[5], std::string("module file: ") + BRENMOOR_MODULE_PATH);
  EXPECT_EQ(lines[6], "installation check: passed");
  EXPECT_EQ(lines[7], "services:");
  EXPECT_EQ(lines[8], "  installation validator");
  EXPECT_EQ(lines[9], "  componentversion");
}

TEST(CliInfo, ModuleIsPickedByOptionThenEnvironment) {
  workspace w;
  std::filesystem::copy_file(BRENMOOR_MODULE_PATH, w.path("other.dll"));
  std::string other = w.path("other.dll");

  run_result by_option = w.run({"--module", other, "info"});
  ASSERT_EQ(by_option.status, 0) << by_option.err;
  EXPECT_NE(by_option.out.find("module file: " + other + "\n"), std::string::npos);
  EXPECT_NE(by_option.out.find("module name: other\n"), std::string::npos);
  EXPECT_NE(by_option.out.find("installation check: failed\n"), std::string::npos);

  run_result by_environment = w.run({"info"}, "", {"BRENMOOR_MODULE=" + other});
  ASSERT_EQ(by_environment.status, 0) << by_environment.err;
  EXPECT_NE(by_environment.out.find("module file: " + other + "\n"), std::string::npos);

  // The option wins over the environment; a relative path is made absolute.
  run_result both = w.run({"--module=other.dll", "info"}, "", {"BRENMOOR_MODULE=/nowhere.dll"});
  ASSERT_EQ(both.status, 0) << both.err;
  EXPECT_NE(both.out.find("module file: " + other + "\n"), std::string::npos);

  run_result missing = w.run({"info"}, "", {"BRENMOOR_MODULE=" + w.path("absent.dll")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err.rfind("brenmoor: " + w.path("absent.dll") + ": ", 0), 0u) << missing.err;
}

TEST(CliVersion, NamesTheProgramTheModuleAndTheirLibraries) {
  workspace w;
  run_result r = w.run({"--version"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string program =
      std::string("brenmoor ") + BRENMOOR_VERSION + "\n  libfuse " + fuse_pkgversion() + "\n";
#if BRENMOOR_ISAL
  std::string isal = "  ISA-L " + std::to_string(ISAL_MAJOR_VERSION) + "." +
                     std::to_string(ISAL_MINOR_VERSION) + "." + std::to_string(ISAL_PATCH_VERSION) +
                     " (from its header at build time)\n";
#else
  std::string isal = "  ISA-L not built in (zlib alone inflates gzip)\n";
#endif
  EXPECT_EQ(r.out, program + "module Brenmoor 1.8: " + BRENMOOR_MODULE_PATH + "\n" + "  zlib " +
                       zlibVersion() + "\n" + isal + "  liblzma " + lzma_version_string() + "\n" +
                       "  libzstd " + ZSTD_versionString() + "\n");

  // Without a module, the program still tells its own part.
  std::string absent = w.path("absent.dll");
  run_result missing = w.run({"--version"}, "", {"BRENMOOR_MODULE=" + absent});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, program);
  EXPECT_EQ(missing.err.rfind("brenmoor: " + absent + ": ", 0), 0u) << missing.err;
}

TEST(CliUsage, MistakesExitWithStatus2) {
  struct case_t {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "brenmoor: no command given\n"},
      {{"frobnicate"}, "brenmoor: unknown command 'frobnicate'\n"},
      {{"list", "--bogus", "a.tar"}, "brenmoor: unknown option '--bogus'\n"},
      {{"list"}, "brenmoor: 'list' needs a path\n"},
      {{"info", "x"}, "brenmoor: 'info' takes no paths\n"},
      {{"unpack", "a.gz", "b.gz"}, "brenmoor: 'unpack' takes exactly one file\n"},
      {{"cat", "--json", "a"}, "brenmoor: option --json applies only to 'list'\n"},
      {{"list", "-o", "x", "a.tar"}, "brenmoor: option -o applies only to 'unpack'\n"},
      {{"extract", "a.tar", "-C"}, "brenmoor: option -C needs a value\n"},
      {{"--module", "", "info"}, "brenmoor: option --module needs a value\n"},
      {{"list", "-m", "x", "a.tar"},
       "brenmoor: option -m applies only to 'cat', 'stat' and 'extract'\n"},
      {{"cat", "a.tar", "-m"}, "brenmoor: option -m needs a value\n"},
      {{"cat", "a.tar", "--member="}, "brenmoor: option -m needs a member name\n"},
      {{"extract", "-m", "x"}, "brenmoor: 'extract' needs an archive\n"},
  };
  workspace w;
  for (const case_t& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    run_result r = w.run(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(c.message) + "Try 'brenmoor --help'.\n");
  }
}

TEST(CliUsage, HelpGoesToStandardOutput) {
  workspace w;
  run_result general = w.run({"--help"});
  EXPECT_EQ(general.status, 0);
  EXPECT_EQ(general.out.rfind("Usage: brenmoor COMMAND", 0), 0u);
  run_result list = w.run({"list", "--help"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out.rfind("Usage: brenmoor list", 0), 0u);
  EXPECT_NE(list.out.find("\\udcXX"), std::string::npos) << "the JSON escaping is documented";
}

TEST(CliLocalFiles, CatJoinsFilesAndReportsTheOnesThatFail) {
  workspace w;
  w.write("a.txt", "first\n");
  w.write("b.txt", std::string(100000, 'b'));
  run_result r = w.run({"cat", "a.txt", "missing.txt", "b.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "first\n" + std::string(100000, 'b'));
  EXPECT_EQ(r.err, "brenmoor: missing.txt: Object not found\n");

  run_result folder = w.run({"cat", "."});
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(folder.err, "brenmoor: .: Is a directory\n");

  run_result unowned = w.run({"cat", "http://example/x"});
  EXPECT_EQ(unowned.status, 1);
  EXPECT_EQ(unowned.err, "brenmoor: http://example/x: Invalid path\n");
}

TEST(CliLocalFiles, StatShowsSizeAndTime) {
  workspace w;
  std::string path = w.write("s.txt", "12345");
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  run_result r = w.run({"stat", "s.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "path: s.txt\n"
            "size: 5\n"
            "time: 2001-09-09T01:46:40Z\n"
            "timestamp: 126444736000000000\n"
            "writable: yes\n");
}

TEST(CliLocalFiles, ListOfAFileWithoutArchiveTypeFails) {
  workspace w;
  w.write("notes.txt", "x");
  run_result r = w.run({"list", "notes.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "brenmoor: notes.txt: no registered archive type for the extension 'txt'\n");
}

TEST(CliPipes, ClosedOutputEndsQuietly) {
  workspace w;
  w.write("big.bin", std::string(4 << 20, 'z'));
  std::string status = w.shell("'" + std::string(BRENMOOR_CLI_PATH) +
                               "' cat big.bin 2>err.txt | head -c 10 >/dev/null;"
                               " echo ${PIPESTATUS[0]}");
  EXPECT_EQ(status, std::to_string(128 + SIGPIPE) + "\n");
  EXPECT_EQ(read_file(w.path("err.txt")), "");
}

TEST(CliInterrupt, CtrlCStopsABlockedReadWithStatus130) {
  workspace w;
  std::string fifo = w.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  pid_t pid = w.start({"cat", "fifo"});
  // The program opens the fifo only after it has installed its handler, so
  // once this open returns the interrupt reaches the program's own handler.
  int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "partial", 7), 7);
  ::kill(pid, SIGINT);
  run_result r = w.finish(pid);
  ::close(writer);
  EXPECT_EQ(r.status, 130);
  EXPECT_EQ(r.err, "");
}

}  // namespace
