// brenmoor extract end to end: the same files as GNU tar writes, and never
// a byte outside the target folder.
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>

#include "tests/tools/cli_runner.h"

using namespace cli_test;

namespace {

TEST(CliExtract, WritesWhatTarWrites) {
  workspace w;
  w.write("tree/readme.txt", "hello\n");
  w.write("tree/docs/guide.txt", std::string(3000, 'g'));
  w.write("tree/empty.txt", "");
  w.write("tree/" + std::string(80, 'd') + "/" + std::string(80, 'n'), "deep\n");
  w.shell("tar --format=gnu -cf a.tar tree && mkdir mine theirs && tar -xf a.tar -C theirs");

  run_result r = w.run({"extract", "a.tar", "-C", "mine"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(tree_of(w.path("mine")), tree_of(w.path("theirs")));

  // Every file carries the archive's own time.
  struct stat archive {
  }, member{};
  ASSERT_EQ(::stat(w.path("a.tar").c_str(), &archive), 0);
  ASSERT_EQ(::stat(w.path("mine/tree/readme.txt").c_str(), &member), 0);
  EXPECT_EQ(member.st_mtim.tv_sec, archive.st_mtim.tv_sec);

  // Compressed single files extract under their name without the extension.
  w.shell("gzip -n -k tree/readme.txt && bzip2 -k tree/docs/guide.txt");
  run_result single =
      w.run({"extract", "tree/readme.txt.gz", "tree/docs/guide.txt.bz2", "-C", "single"});
  EXPECT_EQ(single.status, 1) << "the folder must exist";
  EXPECT_EQ(single.err.rfind("brenmoor: single: ", 0), 0u) << single.err;
  std::filesystem::create_directory(w.path("single"));
  single = w.run({"extract", "tree/readme.txt.gz", "tree/docs/guide.txt.bz2", "-Csingle"});
  ASSERT_EQ(single.status, 0) << single.err;
  EXPECT_EQ(read_file(w.path("single/readme.txt")), "hello\n");
  EXPECT_EQ(read_file(w.path("single/guide.txt")), std::string(3000, 'g'));
}

TEST(CliExtract, NeverWritesOutsideTheTargetFolder) {
  workspace w;
  w.write("outside/secret.txt", "keep me");
  std::filesystem::create_directories(w.path("dest/real"));
  std::filesystem::create_directory_symlink(w.path("outside"), w.path("dest/out"));
  std::filesystem::create_directory_symlink("real", w.path("dest/in"));
  std::filesystem::create_symlink(w.path("outside/secret.txt"), w.path("dest/victim.txt"));
  w.write("make.py", R"(import tarfile, io
members = [
    ('ok/file.txt', b'ok'),
    ('/abs.txt', b'absolute'),
    ('../up.txt', b'up'),
    ('a/../../x.txt', b'x'),
    ('out/escape.txt', b'escaped'),
    ('out/../../y.txt', b'y'),
    ('in/kept.txt', b'kept'),
    ('dup.txt', b'first'),
    ('dup.txt', b'second'),
    ('./dot/./x.txt', b'dot'),
    ('victim.txt', b'replaced'),
    ('folder/', b''),
    ('./', b''),
    ('c', b'file'),
    ('c/d.txt', b'under a file'),
]
t = tarfile.open('evil.tar', 'w', format=tarfile.GNU_FORMAT)
for name, data in members:
    i = tarfile.TarInfo(name)
    i.size = len(data)
    t.addfile(i, io.BytesIO(data))
t.close()
)");
  w.shell("python3 make.py");

  run_result r = w.run({"extract", "evil.tar", "-C", "dest"});
  auto member = [](const std::string& name) { return member_path("tar", "evil.tar", name); };
  // An error (c/d.txt under a file) outranks the refusals in the status.
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "brenmoor: " + member("/abs.txt") + ": refused: absolute member name\n" +
                "brenmoor: " + member("../up.txt") + ": refused: member name contains '..'\n" +
                "brenmoor: " + member("a/../../x.txt") + ": refused: member name contains '..'\n" +
                "brenmoor: " + member("out/escape.txt") +
                ": refused: path leads outside the target folder\n" + "brenmoor: " +
                member("out/../../y.txt") + ": refused: member name contains '..'\n" +
                "brenmoor: " + member("./") + ": refused: member name names no file\n" +
                "brenmoor: " + member("c/d.txt") + ": Not a directory\n");

  EXPECT_EQ(tree_of(w.path("outside")),
            (std::vector<std::pair<std::string, std::string>>{{"secret.txt", "keep me"}}));
  EXPECT_FALSE(std::filesystem::exists(w.path("up.txt")));
  EXPECT_FALSE(std::filesystem::exists(w.path("x.txt")));
  EXPECT_FALSE(std::filesystem::exists(w.path("y.txt")));
  EXPECT_FALSE(std::filesystem::exists("/abs.txt"));

  EXPECT_EQ(read_file(w.path("dest/ok/file.txt")), "ok");
  EXPECT_EQ(read_file(w.path("dest/real/kept.txt")), "kept");  // a link that stays inside
  EXPECT_EQ(read_file(w.path("dest/dup.txt")), "second");      // the later one wins
  EXPECT_EQ(read_file(w.path("dest/dot/x.txt")), "dot");
  EXPECT_FALSE(std::filesystem::is_symlink(w.path("dest/victim.txt")));
  EXPECT_EQ(read_file(w.path("dest/victim.txt")), "replaced");
  EXPECT_TRUE(std::filesystem::is_directory(w.path("dest/folder")));
  EXPECT_EQ(read_file(w.path("dest/c")), "file");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(w.path("dest"))) {
    EXPECT_EQ(entry.path().filename().string().find(".brenmoor-"), std::string::npos)
        << "a temporary file was left: " << entry.path();
  }

  // Refusals alone give status 3.
  w.write("fix.py", R"(import tarfile, io
t = tarfile.open('refused.tar', 'w', format=tarfile.GNU_FORMAT)
for name in ['good.txt', '../bad.txt']:
    i = tarfile.TarInfo(name)
    i.size = 1
    t.addfile(i, io.BytesIO(b'g'))
t.close()
)");
  w.shell("python3 fix.py && mkdir dest2");
  run_result refused = w.run({"extract", "refused.tar", "-C", "dest2"});
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(read_file(w.path("dest2/good.txt")), "g");
}

TEST(CliExtract, AFolderSwappedForALinkToTheOutsideNeverTakesAFile) {
  workspace w;
  std::filesystem::create_directories(w.path("dest/real"));
  std::filesystem::create_directory(w.path("outside"));
  std::filesystem::create_directory_symlink("real", w.path("dest/link"));
  std::filesystem::create_directory_symlink(w.path("outside"), w.path("dest/swap"));
  w.write("make.py", R"(import tarfile, io
t = tarfile.open('many.tar', 'w', format=tarfile.GNU_FORMAT)
for n in range(3000):
    i = tarfile.TarInfo('link/%04d.txt' % n)
    i.size = 1
    t.addfile(i, io.BytesIO(b'x'))
t.close()
)");
  w.shell("python3 make.py");

  // A helper process swaps the folder that dest/link leads to with the link
  // to the outside, as fast as it can, for as long as the extract runs.
  auto* swaps = static_cast<std::atomic<uint64_t>*>(::mmap(nullptr, sizeof(std::atomic<uint64_t>),
                                                           PROT_READ | PROT_WRITE,
                                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(swaps, MAP_FAILED);
  std::string real = w.path("dest/real"), swap = w.path("dest/swap");
  pid_t swapper = ::fork();
  if (swapper == 0) {
    for (;;) {
      if (::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) == 0) {
        swaps->fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
  run_result r = w.run({"extract", "many.tar", "-C", "dest"});
  ::kill(swapper, SIGKILL);
  wait_status(swapper);
  EXPECT_GT(swaps->load(), 0u);
  ::munmap(swaps, sizeof(std::atomic<uint64_t>));

  EXPECT_EQ(tree_of(w.path("outside")).size(), 0u) << "files were written outside";
  // Each member is either written inside or refused.
  size_t refused = 0;
  for (const std::string& line : lines_of(r.err)) {
    EXPECT_NE(line.find(": refused: path leads outside the target folder"), std::string::npos)
        << line;
    ++refused;
  }
  EXPECT_EQ(r.status, refused == 0 ? 0 : 3);
  EXPECT_EQ(tree_of(w.path("dest")).size() + refused, 3000u);
}

}  // namespace
