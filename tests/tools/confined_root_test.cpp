// confined_root: folders below the root are opened, links followed while
// they stay inside, and nothing outside is reached or made, by openat2 and
// by the component walk alike, also while another thread swaps a folder
// for a link to the outside.
#include "tools/confined_root.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/native_filesystem.h"
#include "tests/support/expect_throw.h"

namespace fs = std::filesystem;

namespace {

struct lookup_mode {
  const char* name;
  confined_lookup lookup;
};
constexpr lookup_mode modes[] = {{"openat2", confined_lookup::automatic},
                                 {"walk", confined_lookup::walk}};

// A folder per test holding "root" and "outside".
class ConfinedRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/brenmoor-confined-XXXXXX";
    base_ = ::mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(base_); }

  // Fresh "root" and "outside" folders below base_/`mode`.
  void make_tree(const char* mode) {
    root_ = base_ + "/" + mode + "/root";
    outside_ = base_ + "/" + mode + "/outside";
    fs::create_directories(root_ + "/real");
    fs::create_directories(outside_);
  }

  std::string base_, root_, outside_;
};

ino_t inode_of(int fd) {
  struct stat st {};
  EXPECT_EQ(::fstat(fd, &st), 0);
  return st.st_ino;
}

ino_t inode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

TEST_F(ConfinedRoot, FollowsOnlyLinksThatStayInside) {
  struct case_t {
    const char* what;
    std::vector<std::string> segments;
    const char* folder;  // expected, below the root; null: outside or an error
    int error;
  };
  const case_t cases[] = {
      {"the root itself", {}, "", 0},
      {"a folder", {"real"}, "real", 0},
      {"a relative link", {"rel"}, "real", 0},
      {"an absolute link into the root", {"abs_in"}, "real", 0},
      {"a link to a link", {"chain"}, "real", 0},
      {"'..' that stays inside", {"up_and_back"}, "real", 0},
      {"missing folders are made", {"new", "deeper"}, "new/deeper", 0},
      {"made through a link", {"rel", "sub"}, "real/sub", 0},
      {"made where a dangling link leads", {"dangling"}, "made", 0},
      {"'..' above the root", {"up_out", "x"}, nullptr, 0},
      {"out by '..' and back in", {"out_and_in"}, nullptr, 0},
      {"an absolute link outside", {"abs_out", "x"}, nullptr, 0},
      {"a link loop", {"loop"}, nullptr, ELOOP},
      {"below a file", {"file.txt", "x"}, nullptr, ENOTDIR},
      {"a link to a file", {"to_file"}, nullptr, ENOTDIR},
  };
  for (const lookup_mode& mode : modes) {
    make_tree(mode.name);
    std::ofstream(root_ + "/file.txt") << "f";
    fs::create_directory_symlink("real", root_ + "/rel");
    fs::create_directory_symlink(root_ + "/real", root_ + "/abs_in");
    fs::create_directory_symlink("rel", root_ + "/chain");
    fs::create_directory_symlink("real/../real", root_ + "/up_and_back");
    fs::create_directory_symlink("made", root_ + "/dangling");
    fs::create_directory_symlink("../outside", root_ + "/up_out");
    fs::create_directory_symlink("../root/real", root_ + "/out_and_in");
    fs::create_directory_symlink(outside_, root_ + "/abs_out");
    fs::create_symlink("loop", root_ + "/loop");
    fs::create_symlink("file.txt", root_ + "/to_file");

    confined_root root(root_, mode.lookup);
    for (const case_t& c : cases) {
      SCOPED_TRACE(std::string(mode.name) + ": " + c.what);
      if (c.error != 0) {
        EXPECT_THROW_EXACT(root.open_folder(c.segments, c.segments.size()), exception_io_os,
                           std::strerror(c.error));
        continue;
      }
      unique_fd folder = root.open_folder(c.segments, c.segments.size());
      ASSERT_EQ(folder.valid(), c.folder != nullptr);
      if (folder.valid()) {
        EXPECT_EQ(inode_of(folder.get()), inode_of(root_ + "/" + c.folder));
      }
    }
    EXPECT_TRUE(fs::is_empty(outside_));
  }
}

// The kernel's lookup is raced end to end by the extract test; this races
// the walk on its own, which kernels without openat2 rely on.
TEST_F(ConfinedRoot, TheWalkNeverEntersAFolderSwappedForALinkToTheOutside) {
  make_tree("walk");
  fs::create_directory_symlink("real", root_ + "/link");
  fs::create_directory_symlink(outside_, root_ + "/swap");
  ino_t real = inode_of(root_ + "/real");
  // Swaps the two names until the end of the scope, whatever leaves it.
  struct swapping {
    std::string a, b;
    std::atomic<bool> stop{false};
    std::atomic<unsigned> swaps{0};
    std::thread thread{[this] {
      while (!stop.load()) {
        if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
      }
    }};
    ~swapping() {
      stop = true;
      thread.join();
    }
  } swapper{root_ + "/real", root_ + "/swap"};
  confined_root root(root_, confined_lookup::walk);
  unsigned elsewhere = 0;
  // "made" is made in the real folder, whatever its name at the moment.
  for (int i = 0; i < 2000; ++i) {
    unique_fd folder = root.open_folder({"link", "made"}, 2);
    if (!folder.valid()) continue;  // refused: the link led outside just then
    struct stat parent {};
    if (::fstatat(folder.get(), "..", &parent, 0) != 0 || parent.st_ino != real) ++elsewhere;
  }
  EXPECT_GT(swapper.swaps.load(), 0u);
  EXPECT_EQ(elsewhere, 0u);
  EXPECT_TRUE(fs::is_empty(outside_));
}

}  // namespace
