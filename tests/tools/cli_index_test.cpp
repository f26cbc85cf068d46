// `brenmoor index` and the index on disk across processes: the commands
// that build, show and drop it, and processes that read members of one
// archive while another builds its index.
#include <gtest/gtest.h>

#include <string>

#include "tests/tools/cli_runner.h"

namespace cli_test {
namespace {

std::string index_env(const workspace& ws) {
  return "BRENMOOR_INDEX=" + ws.path("idx");
}

TEST(CliIndex, BuildsShowsAndDropsTheIndex) {
  workspace ws;
  ws.shell(
      "mkdir -p src/d && seq 1 200000 > src/d/n.txt && echo hi > src/hi.txt && "
      "tar -czf a.tar.gz -C src . && tar -cjf b.tar.bz2 -C src .");
  const std::vector<std::string> env = {index_env(ws)};
  run_result built = ws.run({"index", "a.tar.gz", "b.tar.bz2"}, "", env);
  EXPECT_EQ(built.status, 0) << built.err;
  EXPECT_EQ(built.out, "a.tar.gz: indexed\nb.tar.bz2: indexed\n");
  run_result status = ws.run({"index", "--status"}, "", env);
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("index: " + ws.path("idx") + "/index.sqlite3\n"), std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("archives: 2\n"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find(ws.path("a.tar.gz")), std::string::npos) << status.out;

  // A listing from the index is the listing.
  for (const char* archive : {"a.tar.gz", "b.tar.bz2"}) {
    SCOPED_TRACE(archive);
    run_result indexed = ws.run({"list", "-r", archive}, "", env);
    run_result plain = ws.run({"list", "-r", archive}, "", {"BRENMOOR_INDEX=memory"});
    EXPECT_EQ(indexed.status, 0) << indexed.err;
    EXPECT_EQ(indexed.out, plain.out);
  }

  run_result dropped = ws.run({"index", "--drop", "a.tar.gz", "src/hi.txt"}, "", env);
  EXPECT_EQ(dropped.status, 0) << dropped.err;
  EXPECT_EQ(dropped.out, "a.tar.gz: dropped\nsrc/hi.txt: not in the index\n");
  EXPECT_NE(ws.run({"index", "--status"}, "", env).out.find("archives: 1\n"), std::string::npos);

  struct row {
    const char* what;
    std::vector<std::string> args;
    std::string environment;
    int status;
    std::string out, err;
  };
  const row rows[] = {
      {"status in memory", {"index", "--status"}, "BRENMOOR_INDEX=memory", 0,
       "index: in each process's memory only (BRENMOOR_INDEX=memory)\n", ""},
      {"status off", {"index", "--status"}, "BRENMOOR_INDEX=off", 0,
       "index: off (BRENMOOR_INDEX=off)\n", ""},
      {"drop without a disk", {"index", "--drop", "a.tar.gz"}, "BRENMOOR_INDEX=memory", 1, "",
       "brenmoor: index: there is no index on disk (BRENMOOR_INDEX is memory or off)\n"},
      {"no archive", {"index"}, index_env(ws), 2, "", "brenmoor: 'index' needs an archive\n"},
      {"status with paths", {"index", "--status", "a.tar.gz"}, index_env(ws), 2, "",
       "brenmoor: 'index --status' takes no paths\n"},
      {"--drop elsewhere", {"list", "--drop", "a.tar.gz"}, index_env(ws), 2, "",
       "brenmoor: option --drop applies only to 'index'\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    run_result got = ws.run(r.args, "", {r.environment});
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(got.out, r.out);
    EXPECT_TRUE(got.err.starts_with(r.err)) << got.err;
  }
}

// Four processes read members of one archive, over and over, while a fifth
// builds its index: no lock error, every byte right, and the index whole
// afterwards.
TEST(CliIndex, ReadersAndABuilderShareTheIndex) {
  workspace ws;
  ws.shell(
      "mkdir -p src && for i in $(seq 0 19); do head -c $((900000 + i * 1000)) /dev/urandom > "
      "src/f$i; done && tar -czf a.tar.gz -C src .");
  std::string script =
      "export " + index_env(ws) + "; b='" + BRENMOOR_CLI_PATH +
      "'; reader() { for round in 1 2 3; do for i in $1 $2 $3 $4 $5; do "
      "\"$b\" -q cat a.tar.gz -m ./f$i > out.$1.$i 2>> err.$1 || exit 1; "
      "cmp -s out.$1.$i src/f$i || { echo \"f$i differs\" >> err.$1; exit 1; }; done; done; }; "
      "reader 1 5 9 13 17 & p1=$!; reader 19 2 6 10 14 & p2=$!; "
      "reader 3 7 11 15 18 & p3=$!; reader 0 4 8 12 16 & p4=$!; "
      "\"$b\" -q index a.tar.gz 2> err.index; s=$?; "
      "wait $p1 && wait $p2 && wait $p3 && wait $p4 && test $s = 0 && cat err.* ";
  EXPECT_EQ(ws.shell(script), "");
  run_result status = ws.run({"index", "--status"}, "", {index_env(ws)});
  EXPECT_NE(status.out.find("archives: 1\n"), std::string::npos) << status.out;
  // And a later process serves every member from it.
  ws.shell("mkdir x");
  run_result all = ws.run({"-q", "extract", "a.tar.gz", "-m", "*", "-C", "x"}, "", {index_env(ws)});
  EXPECT_EQ(all.status, 0) << all.err;
  ws.shell("diff -r src x");
}

}  // namespace
}  // namespace cli_test
