// brenmoor cat, stat and extract with members named by -m, as tar names
// them, against what bsdtar -xO and GNU tar -x give for the same names.
#include "tests/tools/cli_runner.h"

using namespace cli_test;

namespace {

// A tree in a TAR, plain and gzip-compressed: plain files, a folder with a
// subfolder, a name with pattern characters, a TAR inside bzip2 and a text
// inside xz.
class CliMembers : public ::testing::Test {
 protected:
  void SetUp() override {
    w_.write("tree/readme.txt", "hello\n");
    w_.write("tree/docs/guide.txt", std::string(3000, 'g'));
    w_.write("tree/docs/sub/deep.md", "deep\n");
    w_.write("tree/Live [2019].txt", "live\n");
    w_.write("inner/notes.txt", "inner notes\n");
    w_.write("poem.txt", "a poem\n");
    w_.shell(
        "tar --format=gnu --sort=name -cjf tree/inner.tar.bz2 inner && "
        "xz -c poem.txt > tree/poem.txt.xz && "
        "tar --format=gnu --sort=name -cf a.tar tree && gzip -n -k a.tar");
  }

  workspace w_;
};

TEST_F(CliMembers, CatWritesWhatBsdtarWrites) {
  struct row {
    const char* what;
    std::vector<std::string> names;
    // What to compare with, a shell command run on ARCHIVE; empty when
    // `literal` gives the bytes.
    std::string reference;
    std::string literal;
  } rows[] = {
      {"a plain name", {"tree/readme.txt"}, "bsdtar -xOf ARCHIVE tree/readme.txt", ""},
      {"a pattern", {"tree/docs/*"}, "bsdtar -xOf ARCHIVE 'tree/docs/*'", ""},
      {"a star matches slashes", {"*.txt"}, "bsdtar -xOf ARCHIVE '*.txt'", ""},
      {"a folder selects what is below it", {"tree/docs/"}, "bsdtar -xOf ARCHIVE tree/docs/", ""},
      {"a pattern selects below a folder it matches",
       {"tree/doc?"},
       "bsdtar -xOf ARCHIVE 'tree/doc?'",
       ""},
      {"each member once, in archive order",
       {"tree/readme.txt", "tree/docs/guide.txt", "tree/*"},
       "bsdtar -xOf ARCHIVE tree/readme.txt tree/docs/guide.txt 'tree/*'",
       ""},
      {"a member of a TAR inside bzip2",
       {"tree/inner.tar.bz2|inner/notes.txt"},
       "bsdtar -xOf ARCHIVE tree/inner.tar.bz2 | bsdtar -xOf - inner/notes.txt",
       ""},
      {"a pattern inside a nested archive",
       {"tree/*.bz2|*"},
       "bsdtar -xOf ARCHIVE tree/inner.tar.bz2 | bsdtar -xOf - '*'",
       ""},
      {"the member of a compressed text",
       {"tree/poem.txt.xz|poem.txt"},
       "bsdtar -xOf ARCHIVE tree/poem.txt.xz | xz -dc",
       ""},
      {"a compressed file as it is",
       {"tree/poem.txt.xz"},
       "bsdtar -xOf ARCHIVE tree/poem.txt.xz",
       ""},
      {"pattern characters select their own name", {"tree/Live [2019].txt"}, "", "live\n"},
  };
  for (const char* archive : {"a.tar", "a.tar.gz"}) {
    for (const row& r : rows) {
      SCOPED_TRACE(std::string(archive) + ": " + r.what);
      std::vector<std::string> args = {"cat", archive};
      for (const std::string& name : r.names) args.insert(args.end(), {"-m", name});
      run_result got = w_.run(args);
      EXPECT_EQ(got.status, 0) << got.err;
      EXPECT_EQ(got.err, "");
      std::string expected = r.literal;
      if (!r.reference.empty()) {
        std::string command = r.reference;
        command.replace(command.find("ARCHIVE"), 7, archive);
        expected = w_.shell(command);
        ASSERT_FALSE(expected.empty()) << command;
      }
      EXPECT_EQ(got.out, expected);
    }
  }
}

TEST_F(CliMembers, NameThatSelectsNothingIsReportedAsTarReportsIt) {
  struct row {
    const char* what;
    std::string name;
  } rows[] = {
      {"no such member", "tree/missing.txt"},
      {"a prefix that is no folder", "tree/read"},
      {"the TAR inside the compressed file is not a level", "a.tar|tree/readme.txt"},
      {"a level into a member that is no archive", "tree/readme.txt|x"},
  };
  std::string tar_says = w_.shell("bsdtar -xOf a.tar.gz tree/missing.txt 2>&1 >/dev/null; true");
  ASSERT_NE(tar_says.find("tree/missing.txt: Not found in archive"), std::string::npos) << tar_says;
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    run_result got = w_.run({"cat", "a.tar.gz", "-m", "tree/readme.txt", "--member=" + r.name});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "hello\n") << "the names that select are still served";
    EXPECT_EQ(got.err, "brenmoor: " + r.name + ": Not found in archive\n");
  }
}

TEST_F(CliMembers, ExtractWritesWhatTarWrites) {
  w_.shell(
      "mkdir mine theirs && "
      "tar -xzf a.tar.gz -C theirs --wildcards 'tree/docs/*' 'tree/inner.tar.bz2'");
  run_result r = w_.run(
      {"extract", "a.tar.gz", "-m", "tree/docs/*", "-m", "tree/inner.tar.bz2", "-C", "mine"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(tree_of(w_.path("mine")), tree_of(w_.path("theirs")));

  // A nested member goes where its own archive would put it.
  run_result nested =
      w_.run({"extract", "a.tar", "-mtree/inner.tar.bz2|inner/notes.txt", "-Cmine"});
  ASSERT_EQ(nested.status, 0) << nested.err;
  EXPECT_EQ(read_file(w_.path("mine/inner/notes.txt")), "inner notes\n");
}

TEST_F(CliMembers, StatShowsTheSelectedMembersByTheirMemberPaths) {
  run_result r = w_.run({"stat", "a.tar.gz", "-m", "tree/docs"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string tar_path = member_path("gz", "a.tar.gz", "a.tar");
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 11u) << r.out;
  EXPECT_EQ(lines[0], "path: " + member_path("tar", tar_path, "tree/docs/guide.txt"));
  EXPECT_EQ(lines[1], "size: 3000");
  EXPECT_EQ(lines[4], "writable: no");
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(lines[6], "path: " + member_path("tar", tar_path, "tree/docs/sub/deep.md"));
  EXPECT_EQ(lines[7], "size: 5");
}

}  // namespace
