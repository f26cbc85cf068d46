// brenmoor unpack -o OUT: regular files are replaced whole and keep their
// mode; links stay links; FIFOs are written through.
#include <sys/stat.h>

#include "tests/tools/cli_runner.h"

using namespace cli_test;

namespace {

enum class target { none, file, link_to_file, fifo, link_to_fifo, dangling_link };

struct output_case {
  const char* what;
  target kind;
  mode_t mode;  // of the file there before; of a new file, expected
};

bool through_link(target kind) {
  return kind == target::link_to_file || kind == target::link_to_fifo ||
         kind == target::dangling_link;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(CliUnpackOutput, EachKindOfTarget) {
  const output_case cases[] = {
      {"a new file: 0666 less the umask", target::none, 0640},
      {"a 0600 file stays 0600", target::file, 0600},
      {"a 0755 file stays 0755", target::file, 0755},
      {"a link to a 0600 file: the file is replaced, the link kept", target::link_to_file, 0600},
      {"a FIFO: its reader gets the bytes", target::fifo, 0},
      {"a link to a FIFO", target::link_to_fifo, 0},
      {"a link that leads nowhere is refused", target::dangling_link, 0},
  };
  workspace w;
  // Less than a pipe holds, so the FIFO's reader can read after the run.
  std::string content;
  for (int i = 0; i < 2000; ++i) content += "line " + std::to_string(i) + "\n";
  w.write("in.txt", content);
  w.shell("gzip in.txt");
  mode_t old_mask = ::umask(027);
  for (const output_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::create_directory(w.path("out"));
    std::string out = w.path("out/out");
    // What OUT is, or what the link OUT leads to.
    std::string real = through_link(c.kind) ? w.path("out/real") : out;
    if (through_link(c.kind)) std::filesystem::create_symlink("real", out);
    int reader = -1;
    if (c.kind == target::file || c.kind == target::link_to_file) {
      w.write("out/" + std::filesystem::path(real).filename().string(), "old");
      ASSERT_EQ(::chmod(real.c_str(), c.mode), 0);
    } else if (c.kind == target::fifo || c.kind == target::link_to_fifo) {
      ASSERT_EQ(::mkfifo(real.c_str(), 0600), 0);
      reader = ::open(real.c_str(), O_RDONLY | O_NONBLOCK);
    }

    run_result r = w.run({"unpack", "in.txt.gz", "-o", "out/out"});
    if (c.kind == target::dangling_link) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "brenmoor: out/out: No such file or directory\n");
      EXPECT_FALSE(std::filesystem::exists(real));
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
    }
    if (reader >= 0) {
      std::string got(content.size() + 1, '\0');
      got.resize(static_cast<size_t>(std::max<ssize_t>(0, ::read(reader, got.data(), got.size()))));
      ::close(reader);
      EXPECT_TRUE(got == content) << "the reader got " << got.size() << " bytes";
      EXPECT_TRUE(std::filesystem::is_fifo(real));
    } else if (c.kind != target::dangling_link) {
      EXPECT_TRUE(read_file(real) == content)
          << "the output holds " << read_file(real).size() << " bytes";
      EXPECT_EQ(mode_of(real), c.mode);
    }
    EXPECT_EQ(std::filesystem::is_symlink(out), through_link(c.kind));
    // Nothing else: no temporary left, no file beside the link.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(w.path("out"))) {
      ++entries;
    }
    EXPECT_EQ(entries, through_link(c.kind) && c.kind != target::dangling_link ? 2u : 1u);
    std::filesystem::remove_all(w.path("out"));
  }
  ::umask(old_mask);
}

}  // namespace
