// brenmoor end to end on archives made by GNU tar, gzip and Python's
// tarfile, compared with what those tools print where the rules agree.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>

#include "tests/tools/cli_runner.h"

using namespace cli_test;

namespace {

// The host's time stamp of a local file: 100 ns since 1601.
uint64_t file_timestamp(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
}

// The name column of a human listing line: after the 12-character size,
// two spaces, the 20-character time and two spaces.
std::string listed_name(const std::string& line) {
  return line.size() > 36 ? line.substr(36) : std::string();
}

std::vector<std::string> listed_names(const std::string& out) {
  std::vector<std::string> names;
  for (const std::string& line : lines_of(out)) names.push_back(listed_name(line));
  return names;
}

const std::string long_folder(60, 'd');
const std::string long_name = std::string(70, 'n') + ".txt";

// A small tree: short and long names (past the 100 bytes of a header), an
// empty file, a file over one block, and a folder with nothing in it.
class CliArchives : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = {
        {"tree/readme.txt", "hello\n"},
        {"tree/docs/guide.txt", pattern(3000)},
        {"tree/empty.txt", ""},
        {"tree/" + long_folder + "/" + long_name, "deep\n"},
    };
    for (const auto& [name, content] : files_) w_.write(name, content);
    std::filesystem::create_directories(w_.path("tree/nothing"));
  }

  static std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
    return s;
  }

  workspace w_;
  std::vector<std::pair<std::string, std::string>> files_;
};

class CliTar : public CliArchives {
 protected:
  void SetUp() override {
    CliArchives::SetUp();
    w_.shell("tar --format=gnu --sort=name -cf a.tar tree");
  }
};

TEST_F(CliTar, ListShowsTheRegularFilesTarShows) {
  run_result r = w_.run({"list", "a.tar"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected;
  for (const std::string& name : lines_of(w_.shell("tar -tf a.tar"))) {
    if (name.back() != '/') expected.push_back(name);
  }
  EXPECT_EQ(listed_names(r.out), expected);
  EXPECT_EQ(expected.size(), files_.size());
  for (const std::string& line : lines_of(r.out)) {
    std::string name = listed_name(line);
    auto file =
        std::find_if(files_.begin(), files_.end(), [&](const auto& f) { return f.first == name; });
    ASSERT_NE(file, files_.end()) << name;
    EXPECT_EQ(std::stoull(line.substr(0, 12)), file->second.size()) << name;
  }
}

TEST_F(CliTar, JsonCarriesMemberPathSizeAndTheArchiveTime) {
  run_result r = w_.run({"list", "--json", "a.tar"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string timestamp = std::to_string(file_timestamp(w_.path("a.tar")));
  std::string expected =
      "{\"path\": \"unpack://tar|5|a.tar|tree/readme.txt\", \"member\": "
      "\"tree/readme.txt\", \"size\": 6, \"timestamp\": " +
      timestamp + "}";
  std::vector<std::string> lines = lines_of(r.out);
  EXPECT_EQ(lines.size(), files_.size());
  EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << r.out;
}

TEST_F(CliTar, CatPrintsMembersByTheirMemberPaths) {
  std::vector<std::string> args = {"cat"};
  std::string all;
  for (const auto& [name, content] : files_) {
    args.push_back(member_path("tar", "a.tar", name));
    all += content;
  }
  run_result r = w_.run(args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, all);

  std::string missing = member_path("tar", "a.tar", "tree/README.TXT");
  run_result m = w_.run({"cat", missing});
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.err, "brenmoor: " + missing + ": Object not found\n");
}

TEST_F(CliTar, StatOfAMember) {
  run_result r = w_.run({"stat", member_path("tar", "a.tar", "tree/docs/guide.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nsize: 3000\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\ntimestamp: " + std::to_string(file_timestamp(w_.path("a.tar"))) + "\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\nwritable: no\n"), std::string::npos);
}

TEST_F(CliTar, AnArchiveCutShortListsWhatItFoundThenFails) {
  // one.txt: a header and two data blocks; two.txt's header follows at 1536.
  w_.write("one.txt", pattern(600));
  w_.write("two.txt", "0123456789");
  w_.shell("tar --format=gnu -cf whole.tar one.txt two.txt");
  std::string whole = read_file(w_.path("whole.tar"));
  w_.write("cut.tar", whole.substr(0, 1536 + 256));

  run_result r = w_.run({"list", "cut.tar"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(listed_names(r.out), std::vector<std::string>{"one.txt"});
  EXPECT_EQ(r.err, "brenmoor: cut.tar: Unsupported format or corrupted file\n");
}

TEST_F(CliTar, NamesOfAnyBytesAreEscaped) {
  // Python's tarfile writes the name's raw bytes: surrogateescape turns
  // \udcff back into the byte 0xFF.
  w_.write("make.py", R"(import tarfile, io
t = tarfile.open('odd.tar', 'w', format=tarfile.GNU_FORMAT, encoding='utf-8',
                 errors='surrogateescape')
i = tarfile.TarInfo('q"b\\c\nd\udcff\u00e9.txt')
i.size = 1
t.addfile(i, io.BytesIO(b'x'))
t.close()
)");
  w_.shell("python3 make.py");
  run_result json = w_.run({"list", "--json", "odd.tar"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"member\": \"q\\\"b\\\\c\\nd\\udcff\xc3\xa9.txt\""), std::string::npos)
      << json.out;
  // The line is JSON that Python reads back to the original bytes.
  w_.write("line.json", json.out);
  w_.write("read.py", R"(import json
m = json.load(open('line.json'))['member']
print(m.encode('utf-8', 'surrogateescape'))
)");
  EXPECT_EQ(w_.shell("python3 read.py"), "b'q\"b\\\\c\\nd\\xff\\xc3\\xa9.txt'\n");

  run_result human = w_.run({"list", "odd.tar"});
  ASSERT_EQ(human.status, 0) << human.err;
  EXPECT_EQ(listed_names(human.out), std::vector<std::string>{"q\"b\\\\c\\nd\xff\xc3\xa9.txt"});
}

// notes.txt, 50000 bytes, and its one-member copies notes.txt.gz,
// notes.txt.bz2, notes.txt.xz and notes.txt.zst, made by the tools.
class CliCompressed : public CliArchives {
 protected:
  void SetUp() override {
    CliArchives::SetUp();
    w_.write("notes.txt", pattern(50000));
    w_.shell("gzip -n -k notes.txt && bzip2 -k notes.txt && xz -k notes.txt && zstd -q notes.txt");
  }

  // Checks that the workspace holds neither out.txt nor a temporary file.
  void expect_no_output_left() const {
    for (const auto& entry : std::filesystem::directory_iterator(w_.root())) {
      std::string name = entry.path().filename().string();
      EXPECT_NE(name, "out.txt");
      EXPECT_EQ(name.find(".brenmoor-"), std::string::npos) << "a temporary file was left";
    }
  }
};

TEST_F(CliCompressed, ListCatAndUnpackGiveWhatTheToolGives) {
  struct format_case {
    const char* type;  // also the file's extension
    const char* tool;
    const char* bad;  // the error of data that is not of the type
  };
  const format_case cases[] = {
      {"gz", "gzip", "Not GZIP data"},
      {"bz2", "bzip2", "Not BZIP2 data"},
      {"xz", "xz", "Not XZ data"},
      {"zst", "zstd", "Not ZSTD data"},
  };
  for (const format_case& c : cases) {
    SCOPED_TRACE(c.type);
    const std::string file = std::string("notes.txt.") + c.type;
    // One member named after the file, with the file's time stamp.
    run_result list = w_.run({"list", "--json", file});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "{\"path\": \"" + member_path(c.type, file, "notes.txt") +
                            "\", \"member\": \"notes.txt\", \"size\": 50000, \"timestamp\": " +
                            std::to_string(file_timestamp(w_.path(file))) + "}\n");

    // The member's name in a member path is not checked.
    std::string expected = w_.shell(std::string(c.tool) + " -dc " + file);
    run_result cat = w_.run(
        {"cat", member_path(c.type, file, "notes.txt"), member_path(c.type, file, "any name")});
    ASSERT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.out, expected + expected);

    run_result unpack = w_.run({"unpack", file});
    ASSERT_EQ(unpack.status, 0) << unpack.err;
    EXPECT_EQ(unpack.out, expected);

    // The unpacker for the extension is tried first, the others after it:
    // data under another name unpacks too.
    std::string renamed = std::string(c.type) + "-renamed.dat", out = std::string(c.type) + ".out";
    std::filesystem::copy_file(w_.path(file), w_.path(renamed));
    run_result to_file = w_.run({"unpack", renamed, "-o", out});
    ASSERT_EQ(to_file.status, 0) << to_file.err;
    EXPECT_EQ(to_file.out, "");
    EXPECT_EQ(read_file(w_.path(out)), expected);

    std::string bad = std::string("bad.") + c.type;
    w_.write(bad, "this is not compressed data");
    for (const char* command : {"unpack", "list"}) {
      SCOPED_TRACE(command);
      run_result r = w_.run({command, bad});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "brenmoor: " + bad + ": " + c.bad + "\n");
    }
  }
}

TEST_F(CliCompressed, AFailedUnpackLeavesNoOutputFile) {
  w_.write("bad.gz", "this is not gzip data at all");
  run_result r = w_.run({"unpack", "bad.gz", "-o", "out.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "brenmoor: bad.gz: Not GZIP data\n");
  expect_no_output_left();

  w_.write("bad.dat", "neither");
  run_result unknown = w_.run({"unpack", "bad.dat"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "brenmoor: bad.dat: Unsupported format or corrupted file\n");
}

TEST_F(CliCompressed, CtrlCDuringUnpackLeavesNoOutput) {
  std::string fifo = w_.path("stream.bz2");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  pid_t pid = w_.start({"unpack", "stream.bz2", "-o", "out.txt"});
  int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  // Half of a real stream: the decoder waits for the rest.
  std::string data = read_file(w_.path("notes.txt.bz2"));
  ASSERT_EQ(::write(writer, data.data(), data.size() / 2), static_cast<ssize_t>(data.size() / 2));
  ::kill(pid, SIGINT);
  run_result r = w_.finish(pid);
  ::close(writer);
  EXPECT_EQ(r.status, 130);
  EXPECT_EQ(r.err, "");
  expect_no_output_left();
}

class CliNested : public CliArchives {
 protected:
  void SetUp() override {
    CliArchives::SetUp();
    w_.shell("bzip2 -k tree/readme.txt");
    w_.shell("tar --format=gnu --sort=name -cf - tree | gzip -n > a.tar.gz");
  }
};

TEST_F(CliNested, RecursiveListingGoesIntoTheTarInsideTheGz) {
  run_result r = w_.run({"list", "-r", "a.tar.gz"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected = {"a.tar"};
  for (const std::string& name : lines_of(w_.shell("tar -tzf a.tar.gz"))) {
    if (name.back() == '/') continue;
    expected.push_back("a.tar|" + name);
    // Three levels: the BZ2 file inside the TAR inside the GZ.
    if (name == "tree/readme.txt.bz2") expected.push_back("a.tar|" + name + "|readme.txt");
  }
  EXPECT_EQ(listed_names(r.out), expected);

  run_result flat = w_.run({"list", "a.tar.gz"});
  EXPECT_EQ(listed_names(flat.out), std::vector<std::string>{"a.tar"});
}

TEST_F(CliNested, NestedMemberPathsPrintTheirContent) {
  run_result r = w_.run({"list", "-r", "--json", "a.tar.gz"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string gz_member = member_path("gz", "a.tar.gz", "a.tar");
  std::string nested = member_path("tar", gz_member, "tree/readme.txt");
  EXPECT_NE(r.out.find("{\"path\": \"" + nested + "\", \"member\": \"tree/readme.txt\""),
            std::string::npos)
      << r.out;
  std::string deepest =
      member_path("bz2", member_path("tar", gz_member, "tree/readme.txt.bz2"), "readme.txt");
  EXPECT_NE(r.out.find("{\"path\": \"" + deepest + "\", \"member\": \"readme.txt\""),
            std::string::npos)
      << r.out;
  run_result cat = w_.run({"cat", nested, deepest});
  ASSERT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out, "hello\nhello\n");
}

TEST_F(CliNested, NestingBeyondTheLimitIsReportedNotFollowed) {
  // x.gz.gz...gz, 34 levels: each listing names the member after the file
  // without its last extension, so every level nests one more.
  w_.write("x", "x");
  w_.shell("f=x; for i in $(seq 34); do gzip -n -c \"$f\" > \"$f.gz\"; f=\"$f.gz\"; done");
  std::string name = "x";
  for (int i = 0; i < 34; ++i) name += ".gz";
  run_result r = w_.run({"list", "-r", name});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines_of(r.out).size(), 33u);
  EXPECT_NE(r.err.find(": archives nested too deeply; not listed\n"), std::string::npos) << r.err;
}

// album.tgz and album.tbz2 name a TAR inside a gzip or bzip2 file: the
// compressed services claim them, and the TAR inside lists as album.tar.
TEST_F(CliNested, ShortExtensionsReachTheCompressedServices) {
  w_.shell(
      "tar --format=gnu --sort=name -cf a.tar tree; gzip -n -c a.tar > album.tgz;"
      "cp album.tgz other.TAZ; bzip2 -c a.tar > album.TBZ2; cp album.TBZ2 album.tbz;"
      "cp album.TBZ2 album.tb2; printf 'not compressed' > bad.tbz2");
  std::vector<std::string> inside;
  for (const std::string& name : lines_of(w_.shell("tar -tf a.tar")))
    if (name.back() != '/') inside.push_back(name);
  for (const char* archive : {"album.tgz", "other.TAZ", "album.TBZ2", "album.tbz", "album.tb2"}) {
    SCOPED_TRACE(archive);
    std::string tar_name = std::string(archive).substr(0, std::string(archive).find('.')) + ".tar";
    run_result r = w_.run({"list", "-r", archive});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected = {tar_name};
    for (const std::string& name : inside) {
      expected.push_back(tar_name + "|" + name);
      if (name == "tree/readme.txt.bz2") expected.push_back(tar_name + "|" + name + "|readme.txt");
    }
    EXPECT_EQ(listed_names(r.out), expected);

    run_result extracted = w_.run({"extract", archive, "-C", w_.path("")});
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(read_file(w_.path(tar_name)), read_file(w_.path("a.tar")));
    run_result unpacked = w_.run({"unpack", archive});
    EXPECT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_TRUE(unpacked.out == read_file(w_.path("a.tar")));
  }
  // Every unpacker fails on it: the error of the one the extension names counts.
  run_result bad = w_.run({"unpack", "bad.tbz2"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("bad.tbz2: Not BZIP2 data"), std::string::npos) << bad.err;
}

// TARs compressed with xz (several blocks) and zstd (from a pipe, so no
// declared size), under their long and short extensions in any case.
TEST_F(CliNested, XzAndZstdArchivesListOpenExtractAndUnpack) {
  w_.shell(
      "tar --format=gnu --sort=name -cf a.tar tree;"
      "xz -T0 --block-size=4KiB -c a.tar > album.tar.xz;"
      "cp album.tar.xz album.TXZ; zstd -q -c < a.tar > album.tar.zst; cp album.tar.zst album.tzst");
  std::string tar = read_file(w_.path("a.tar"));
  std::vector<std::string> inside;
  for (const std::string& name : lines_of(w_.shell("tar -tf a.tar")))
    if (name.back() != '/') inside.push_back(name);
  struct archive_case {
    const char* archive;
    const char* type;
    const char* tar_name;
    std::string size;  // as the flat listing shows it
  };
  const archive_case cases[] = {
      {"album.tar.xz", "xz", "album.tar", std::to_string(tar.size())},
      {"album.TXZ", "xz", "album.tar", std::to_string(tar.size())},
      {"album.tar.zst", "zst", "album.tar", "unknown"},
      {"album.tzst", "zst", "album.tar", "unknown"},
  };
  for (const archive_case& c : cases) {
    SCOPED_TRACE(c.archive);
    run_result r = w_.run({"list", "-r", c.archive});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected = {c.tar_name};
    for (const std::string& name : inside) {
      expected.push_back(std::string(c.tar_name) + "|" + name);
      if (name == "tree/readme.txt.bz2") expected.push_back(expected.back() + "|readme.txt");
    }
    EXPECT_EQ(listed_names(r.out), expected);
    run_result flat = w_.run({"list", c.archive});
    ASSERT_EQ(flat.status, 0) << flat.err;
    EXPECT_EQ(flat.out.substr(0, 12), std::string(12 - c.size.size(), ' ') + c.size);

    std::string outer = member_path(c.type, c.archive, c.tar_name);
    run_result cat = w_.run({"cat", member_path("tar", outer, "tree/docs/guide.txt"),
                             member_path("tar", outer, "tree/readme.txt")});
    ASSERT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.out, pattern(3000) + "hello\n");

    std::string folder = std::string("x-") + c.archive;
    std::filesystem::create_directory(w_.path(folder));
    run_result extracted = w_.run({"extract", c.archive, "-C", w_.path(folder)});
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_TRUE(read_file(w_.path(folder + "/" + c.tar_name)) == tar);
    run_result unpacked = w_.run({"unpack", c.archive});
    EXPECT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_TRUE(unpacked.out == tar);
  }
}

// The sample that the demo and the README's first command show.
TEST(CliSample, TheBundledDemoListsAndPrints) {
  std::filesystem::path sample =
      (std::filesystem::path(TESTDATA_DIR) / "../../samples/demo.tar.gz").lexically_normal();
  ASSERT_TRUE(std::filesystem::exists(sample)) << sample;
  workspace w;
  std::filesystem::copy_file(sample, w.path("demo.tar.gz"));
  run_result r = w.run({"list", "-r", "demo.tar.gz"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(listed_names(r.out),
            (std::vector<std::string>{
                "demo.tar", "demo.tar|demo/README.txt", "demo.tar|demo/docs/formats.txt",
                "demo.tar|demo/poem.txt.bz2", "demo.tar|demo/poem.txt.bz2|poem.txt"}));
  std::string poem = member_path(
      "bz2", member_path("tar", member_path("gz", "demo.tar.gz", "demo.tar"), "demo/poem.txt.bz2"),
      "poem.txt");
  run_result cat = w.run({"cat", poem});
  ASSERT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out.rfind("The archive keeps its members close,\n", 0), 0u) << cat.out;
}

}  // namespace
