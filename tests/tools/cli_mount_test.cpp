// `brenmoor mount` end to end: real FUSE mounts of archives made by the
// standard tools, read by ordinary file operations.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "tests/support/mount_point.h"
#include "tests/support/tar_data.h"
#include "tests/tools/cli_runner.h"

namespace cli_test {
namespace {

// A small tree: folders, an empty file, a non-ASCII name, a name with a
// tab, and members large enough to take several reads.
void make_tree(const workspace& ws) {
  ws.shell(
      "mkdir -p src/docs/deep src/música && echo hello > src/readme.txt && : > src/empty && "
      "head -c 300000 /dev/urandom > src/docs/random.bin && seq 1 200000 > src/docs/deep/n.txt && "
      "echo canción > src/música/letra.txt && echo tab > \"$(printf 'src/tab\\there')\"");
}

// The mount tests: skipped where FUSE cannot be used, each with a
// workspace of its own.
class CliMount : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_FUSE(); }

  workspace ws_;
};

TEST_F(CliMount, TreeAndBytesEqualTarExtraction) {
  struct row {
    const char* what;
    const char* make;  // makes `archive` from the folder src
    const char* archive;
  };
  const row rows[] = {
      {"tar", "tar -cf a.tar -C src .", "a.tar"},
      {"tar.gz", "tar -czf a.tar.gz -C src .", "a.tar.gz"},
      {"tar.bz2", "tar -cjf a.tar.bz2 -C src .", "a.tar.bz2"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    workspace ws;
    make_tree(ws);
    ws.shell(std::string(r.make) + " && mkdir x && tar -xf " + r.archive + " -C x");
    foreground_mount m(ws, r.archive);
    ASSERT_TRUE(m.mounted()) << m.failure().err;
    ws.shell("diff -r x mnt");
    // Every member again, in archive order: the opens that the read-ahead
    // pass serves.
    ws.shell("tar --quoting-style=literal -tf " + std::string(r.archive) +
             " | while IFS= read -r f; do [ -d \"x/$f\" ] || cmp \"x/$f\" \"mnt/$f\" || exit 1; "
             "done");
  }
}

TEST_F(CliMount, MembersOpenedAheadAndBackHaveTheirOwnBytes) {
  ws_.shell(
      "mkdir src && for i in 0 1 2 3 4 5 6 7 8 9; do head -c $((i * 7000 + 1)) /dev/urandom > "
      "src/f$i; done && tar -czf a.tar.gz -C src f0 f1 f2 f3 f4 f5 f6 f7 f8 f9");
  foreground_mount m(ws_, "a.tar.gz");
  ASSERT_TRUE(m.mounted()) << m.failure().err;
  // In order (a read-ahead pass starts), ahead past members, back to them,
  // and again from the start.
  for (int i : {0, 1, 3, 2, 6, 4, 5, 9, 7, 8, 0, 1, 2}) {
    SCOPED_TRACE(i);
    std::string name = "f" + std::to_string(i);
    EXPECT_TRUE(read_file(m.dir() + "/" + name) == read_file(ws_.path("src/" + name)));
  }
}

// An archive rewritten in place with its old size and time stamp (as cp -p
// and rsync -t leave it), its members now elsewhere: a member read again is
// read from the new content, never placed by what the old one taught.
TEST_F(CliMount, AnArchiveRewrittenWithItsOldSizeAndTimeIsReadAfresh) {
  // Stored deflate blocks, so that both files are the same size.
  ws_.shell(
      "mkdir -p one two && head -c 5000 /dev/zero | tr '\\0' x > one/x && "
      "head -c 5000 /dev/zero | tr '\\0' y > one/y && cp one/x one/y two/ && "
      "tar -cf one.tar -C one x y && tar -cf two.tar -C two y x && "
      "python3 -c 'import gzip,sys\nfor n in sys.argv[1:]: "
      "open(n + \".gz\", \"wb\").write(gzip.compress(open(n, \"rb\").read(), 0, mtime=0))' "
      "one.tar two.tar && cp one.tar.gz a.tar.gz && test $(stat -c %s one.tar.gz) = $(stat -c %s "
      "two.tar.gz)");
  foreground_mount m(ws_, "a.tar.gz");
  ASSERT_TRUE(m.mounted()) << m.failure().err;
  EXPECT_TRUE(read_file(m.dir() + "/y") == read_file(ws_.path("one/y")));
  ws_.shell("touch -r a.tar.gz stamp && cat two.tar.gz > a.tar.gz && touch -r stamp a.tar.gz");
  EXPECT_TRUE(read_file(m.dir() + "/y") == read_file(ws_.path("one/y")));
  EXPECT_TRUE(read_file(m.dir() + "/x") == read_file(ws_.path("one/x")));
}

TEST_F(CliMount, NestedArchivesAreFoldersWithRecursive) {
  make_tree(ws_);
  ws_.shell(
      "mkdir -p outer/sub && tar -czf outer/sub/in.tgz -C src . && tar -cjf outer/in.tar.bz2 -C "
      "src docs && echo plain > outer/plain.txt && tar -cf in.tar -C src readme.txt && "
      "gzip -c in.tar > outer/in.tar.gz && tar -cf outer.tar -C outer . && "
      "mkdir -p x/sub/in.tgz/in.tar x/in.tar.bz2/in.tar x/in.tar.gz/in.tar && "
      "cp outer/plain.txt x/ && tar -xzf outer/sub/in.tgz -C x/sub/in.tgz/in.tar && "
      "tar -xjf outer/in.tar.bz2 -C x/in.tar.bz2/in.tar && tar -xf in.tar -C x/in.tar.gz/in.tar");
  foreground_mount m(ws_, "outer.tar", {"-r"});
  ASSERT_TRUE(m.mounted()) << m.failure().err;
  ws_.shell("diff -r x mnt");
}

TEST_F(CliMount, OddNamesStayInsideTheMount) {
  ws_.shell(R"(python3 - <<'PY'
import io, tarfile
with tarfile.open("odd.tar", "w", format=tarfile.PAX_FORMAT) as t:
    for name, data in [("../evil", "e"), ("/abs/x", "a"), ("a/../../up", "u"), ("ctl\x01\x1b", "c"),
                       ("ünï/çødé.txt", "n"), ("./dot//slash", "d"), ("dup", "first"),
                       ("dup", "second"), ("50%/..", "p")]:
        info = tarfile.TarInfo(name)
        info.size = len(data)
        t.addfile(info, io.BytesIO(data.encode()))
PY)");
  foreground_mount m(ws_, "odd.tar");
  ASSERT_TRUE(m.mounted()) << m.failure().err;
  std::string tree = ws_.shell("cd mnt && find . -print0 | sort -z | tr '\\0' '\\n' | od -c");
  std::string expected = ws_.shell(
      "printf '.\\n./%%2Fabs%%2Fx\\n./..%%2Fevil\\n./50%%%%2F..\\n./a%%2F..%%2F..%%2Fup\\n"
      "./ctl\\001\\033\\n./dot\\n./dot/slash\\n./dup\\n./ünï\\n./ünï/çødé.txt\\n' | "
      "LC_ALL=C sort | od -c");
  EXPECT_EQ(tree, expected);
  EXPECT_EQ(read_file(m.dir() + "/..%2Fevil"), "e");
  EXPECT_EQ(read_file(m.dir() + "/%2Fabs%2Fx"), "a");
  EXPECT_EQ(read_file(m.dir() + "/dup"), "first");
  EXPECT_FALSE(std::filesystem::exists(ws_.path("evil")));
}

// Names that the escaping of names reaching outside could confuse each show
// under a name of their own, which opens that member.
TEST_F(CliMount, EscapedNamesOpenTheirOwnMembers) {
  struct row {
    std::string name, shown, content;
  };
  const row rows[] = {{"../evil", "..%2Fevil", "1"},
                      {"..%2Fevil", "..%252Fevil", "2"},
                      {"..", "%2E%2E", "3"},
                      {"%2E%2E", "%252E%252E", "4"},
                      {"50%2Fy", "50%252Fy", "5"}};
  std::vector<std::pair<std::string, std::string>> members;
  for (const row& r : rows) members.emplace_back(r.name, r.content);
  ws_.write("names.tar", make_tar(members));
  foreground_mount m(ws_, "names.tar");
  ASSERT_TRUE(m.mounted()) << m.failure().err;
  std::vector<std::string> shown;
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(read_file(m.dir() + "/" + r.shown), r.content);
    shown.push_back(r.shown);
  }
  // Nothing else shows: no member lost its place to another.
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(lines_of(ws_.shell("ls -A mnt | LC_ALL=C sort")), shown);
}

TEST_F(CliMount, CorruptMemberGivesEioOnceLoggedAndTheMountLives) {
  // A gzip member whose deflate data is damaged; its trailer still gives a
  // size, so it lists without being inflated.
  ws_.shell(R"(python3 - <<'PY'
import gzip
data = bytearray(gzip.compress(b"damaged " * 4000))
data[40] ^= 0xFF
data[60] ^= 0x55
open("bad.txt.gz", "wb").write(bytes(data))
PY
echo good > good.txt && tar -cf a.tar bad.txt.gz good.txt)");
  run_result r;
  {
    foreground_mount m(ws_, "a.tar", {"-r"});
    ASSERT_TRUE(m.mounted()) << m.failure().err;
    for (int attempt = 0; attempt < 2; ++attempt) {
      SCOPED_TRACE(attempt);
      int fd = ::open((m.dir() + "/bad.txt.gz/bad.txt").c_str(), O_RDONLY);
      int error = errno;
      if (fd >= 0) {
        char buffer[4096];
        EXPECT_LT(::read(fd, buffer, sizeof buffer), 0);
        error = errno;
        ::close(fd);
      }
      EXPECT_EQ(error, EIO);
    }
    EXPECT_EQ(read_file(m.dir() + "/good.txt"), "good\n");
    r = m.stop(SIGTERM);
  }
  std::string path = member_path("gz", member_path("tar", "a.tar", "bad.txt.gz"), "bad.txt");
  EXPECT_EQ(r.err, "brenmoor: " + path + ":  corrupt file\n");
}

TEST_F(CliMount, TwoReadersAtOnceSeeTheSameBytes) {
  ws_.shell(
      "mkdir src && head -c 3000000 /dev/urandom > src/big && head -c 1000000 /dev/urandom > "
      "src/other && tar -czf a.tar.gz -C src .");
  foreground_mount m(ws_, "a.tar.gz");
  ASSERT_TRUE(m.mounted()) << m.failure().err;
  std::string big = read_file(ws_.path("src/big"));
  std::string other = read_file(ws_.path("src/other"));
  std::string got[3];
  std::thread readers[3] = {
      std::thread([&] { got[0] = read_file(m.dir() + "/big"); }),
      std::thread([&] { got[1] = read_file(m.dir() + "/big"); }),
      std::thread([&] { got[2] = read_file(m.dir() + "/other"); }),
  };
  for (std::thread& t : readers) t.join();
  EXPECT_TRUE(got[0] == big);
  EXPECT_TRUE(got[1] == big);
  EXPECT_TRUE(got[2] == other);
}

TEST_F(CliMount, StopSignalsUnmountCleanly) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    workspace ws;
    ws.shell("echo hi > f && tar -cf a.tar f");
    foreground_mount m(ws, "a.tar");
    ASSERT_TRUE(m.mounted()) << m.failure().err;
    EXPECT_EQ(read_file(m.dir() + "/f"), "hi\n");
    run_result r = m.stop(signal);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 128 + signal);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(is_mounted(m.dir()));
  }
}

TEST_F(CliMount, DetachesOnceMountedAndUmountEndsIt) {
  ws_.shell("echo hi > f && tar -cf a.tar f && mkdir mnt");
  run_result r = ws_.run({"mount", "a.tar", "mnt"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Up as soon as the command returns.
  bool up = is_mounted(ws_.path("mnt"));
  EXPECT_TRUE(up);
  if (up) {
    EXPECT_EQ(read_file(ws_.path("mnt/f")), "hi\n");
  }
  run_result u = ws_.run({"umount", "mnt"});
  EXPECT_EQ(u.status, 0) << u.err;
  EXPECT_TRUE(wait_mounted(ws_.path("mnt"), false));
  if (is_mounted(ws_.path("mnt"))) ws_.shell("fusermount3 -u -z mnt");
}

TEST(CliMountArguments, RefusesWhatItCannotMount) {
  workspace ws;
  ws.shell("echo hi > f && tar -cf a.tar f && mkdir mnt && echo x > notes.txt");
  struct row {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const row rows[] = {
      {{"mount", "a.tar"},
       2,
       "brenmoor: 'mount' takes an archive and a mount point\nTry 'brenmoor --help'.\n"},
      {{"mount", "a.tar", "f", "-f"}, 1, "brenmoor: f: Not a directory\n"},
      {{"mount", "missing.tar", "mnt", "-f"}, 1, "brenmoor: missing.tar: Object not found\n"},
      {{"mount", "notes.txt", "mnt", "-f"},
       1,
       "brenmoor: notes.txt: no registered archive type for the extension 'txt'\n"},
      {{"list", "-f", "a.tar"},
       2,
       "brenmoor: option -f applies only to 'mount'\nTry 'brenmoor --help'.\n"},
  };
  for (const row& c : rows) {
    SCOPED_TRACE(c.args[1]);
    run_result r = ws.run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(is_mounted(ws.path("mnt")));
  }
}

}  // namespace
}  // namespace cli_test
