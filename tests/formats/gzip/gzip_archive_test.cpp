#include "formats/gzip/gzip_archive.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/faulty_file.h"
#include "tests/support/gzip_data.h"
#include "tests/support/member_recorder.h"
#include "tests/support/sample_files.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_host.h"

using namespace sonovale_io;
namespace fs = std::filesystem;

namespace {

abort_callback_dummy no_abort;

void write_file(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// The gzip tool's output for `data` at `level`.
std::string gzip_tool(const temp_folder& dir, const std::string& data, int level) {
  fs::path in = dir.path() + "/in", out = dir.path() + "/in.gz";
  write_file(in, data);
  std::string command =
      "gzip -" + std::to_string(level) + " -n -c '" + in.string() + "' > '" + out.string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return read_file(out);
}

struct gunzip_result {
  bool ok;  // exit status 0, or 2 (a warning, such as trailing garbage)
  std::string content;
};

// What `gzip -dc` makes of the file at `path`.
gunzip_result gunzip_tool(const temp_folder& dir, const fs::path& path) {
  fs::path out = dir.path() + "/gunzipped";
  std::string command = "gzip -dc '" + path.string() + "' > '" + out.string() + "' 2>/dev/null";
  int status = std::system(command.c_str());
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return {code == 0 || code == 2, read_file(out)};
}

gunzip_result gunzip_tool(const temp_folder& dir, const std::string& data) {
  fs::path in = dir.path() + "/to_gunzip.gz";
  write_file(in, data);
  return gunzip_tool(dir, in);
}

file_ptr file_with(const std::string& content, uint64_t timestamp = 5, uint64_t position = 0) {
  file_ptr f = make_file_buffer(0, timestamp);
  f->write(content.data(), static_cast<uint32_t>(content.size()), no_abort);
  f->seek(position, no_abort);
  return f;
}

// The failures of damaged data: bad data, no gzip at all, or a damaged
// trailer that reads as a size of 2 GB or more.
bool is_documented_failure(const std::string& what) {
  return what == " corrupt file" || what == "Not GZIP data" ||
         what == " unsupported file feature; gzip larger than 2GB";
}

std::string member_path(const std::string& archive, const std::string& member) {
  return "unpack://gz|" + std::to_string(archive.size()) + "|" + archive + "|" + member;
}

using recording_callback = member_recorder;

// A host with the GZ archive registered after its own filesystems.
class GzArchive : public ::testing::Test {
 protected:
  GzArchive() { host.add_filesystem(&gz_fs); }

  file_ptr open(const std::string& path) {
    file_ptr out;
    filesystem::g_open(out, path.c_str(), open_mode_read, no_abort);
    return out;
  }
  std::string open_content(const std::string& path) {
    file_ptr f = open(path);
    EXPECT_EQ(f->get_position(no_abort), 0u);
    return read_all(*f);
  }
  file_stats stats(const std::string& path) {
    file_stats s{};
    bool writable = true;
    gz_fs.get_stats(path.c_str(), s, writable, no_abort);
    EXPECT_FALSE(writable);
    return s;
  }
  recording_callback list(const std::string& path, bool readers) {
    recording_callback callback;
    file_ptr none;
    gz_fs.list_members(path.c_str(), none, callback, readers);
    for (const member_recorder::member& m : callback.members) EXPECT_EQ(m.owner, &gz_fs);
    return callback;
  }

  test_host host;
  service_impl_single_t<archive_gz> gz_fs;
  service_impl_single_t<unpacker_gz> unpacker;
  temp_folder dir{"brenmoor-gz"};
};

}  // namespace

TEST_F(GzArchive, ToolMadeFilesOpenAsGunzipGivesThem) {
  struct tool_case {
    const char* what;
    std::string data;
    int level;
  };
  const tool_case cases[] = {
      {"empty, fastest", "", 1},
      {"empty, best", "", 9},
      {"one byte", "x", 9},
      {"text, fastest", sample_text(300000), 1},
      {"text, best", sample_text(300000), 9},
      {"large", sample_text(3 << 20), 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string gz = gzip_tool(dir, c.data, c.level);
    gunzip_result expected = gunzip_tool(dir, gz);
    ASSERT_TRUE(expected.ok);
    ASSERT_EQ(expected.content, c.data);
    std::string archive = host.put("music/song.wav.gz", gz);
    EXPECT_TRUE(open_content(member_path(archive, "song.wav")) == expected.content);
    EXPECT_EQ(stats(member_path(archive, "song.wav")).size, c.data.size());

    file_ptr unpacked;
    unpacker.unpack_file(unpacked, file_with(gz), no_abort);
    EXPECT_TRUE(read_all(*unpacked) == expected.content);
  }
}

TEST_F(GzArchive, ListingNamesTheMemberAfterThePath) {
  std::string gz = gzip_member("content");
  struct name_case {
    const char* archive;
    const char* member;
  };
  const name_case cases[] = {
      {"a.gz", "a"},  {"a.tar.gz", "a.tar"}, {"x.y.z.tar.gz", "x.y.z.tar"},
      {".gz", ".gz"}, {"dir.d/b.GZ", "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.archive);
    std::string archive = host.put(c.archive, gz);
    for (bool readers : {false, true}) {
      recording_callback listed = list(archive, readers);
      ASSERT_EQ(listed.members.size(), 1u);
      EXPECT_EQ(listed.members[0].path, member_path(archive, c.member));
      EXPECT_EQ(listed.members[0].stats.size, 7u);
      EXPECT_EQ(listed.members[0].stats.timestamp, host.mem().timestamp);
      EXPECT_EQ(listed.members[0].has_reader, readers);
      if (readers) {
        EXPECT_EQ(listed.members[0].content, "content");
      }
    }
  }
  std::string plain = host.put("noext", gz);
  unsigned opens = host.mem().opens;
  EXPECT_THROW_EXACT(list(plain, false), exception_io_data, "Unsupported format or corrupted file");
  EXPECT_EQ(host.mem().opens, opens);
}

TEST_F(GzArchive, ListingUsesAFileTheCallerOpened) {
  recording_callback callback;
  file_ptr given = file_with(gzip_member("given"), 77, 3);
  gz_fs.list_members("nowhere/x.gz", given, callback, true);
  ASSERT_EQ(callback.members.size(), 1u);
  EXPECT_EQ(callback.members[0].owner, &gz_fs);
  EXPECT_EQ(callback.members[0].content, "given");
  EXPECT_EQ(callback.members[0].stats.timestamp, 77u);
}

TEST_F(GzArchive, AnyMemberNameOpensTheContent) {
  std::string archive = host.put("a.gz", gzip_member("same"));
  for (const char* name : {"a", "zzz", "", "a|b"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(open_content(member_path(archive, name)), "same");
  }
  file_ptr f = open(member_path(archive, "a"));
  EXPECT_EQ(f->get_timestamp(no_abort), host.mem().timestamp);
}

TEST_F(GzArchive, NonGzipDataIsRefusedEverywhere) {
  const std::string inputs[] = {"0123456789", std::string(100, 'a'),
                                "\x1f\x8b" + std::string(15, 'a')};
  for (const auto& data : inputs) {
    SCOPED_TRACE(data);
    std::string archive = host.put("bad.gz", data);
    std::string path = member_path(archive, "bad");
    EXPECT_THROW_EXACT(open(path), exception_io_data, "Not GZIP data");
    EXPECT_THROW_EXACT(stats(path), exception_io_data, "Not GZIP data");
    EXPECT_THROW_EXACT(list(archive, false), exception_io_data, "Not GZIP data");
    EXPECT_THROW_EXACT(list(archive, true), exception_io_data, "Not GZIP data");
    file_ptr out;
    EXPECT_THROW_EXACT(unpacker.unpack_file(out, file_with(data), no_abort), exception_io_data,
                       "Not GZIP data");
  }
}

TEST_F(GzArchive, ContentIsNeverCutToTheAnnouncedSize) {
  std::string text = sample_text(50000);
  std::string good = gzip_member(text);
  std::string padded = good + std::string(10240 - good.size() % 10240, '\0');
  std::string small = good, large = good;
  set_trailer_size(small, 100);
  set_trailer_size(large, 60000);
  struct trailer_case {
    const char* what;
    std::string data;
    uint64_t announced;
    bool opens;
  };
  const trailer_case cases[] = {
      {"zero padding announces 0", padded, 0, true},
      {"trailer smaller than the content", small, 100, false},
      {"trailer larger than the content", large, 60000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string archive = host.put("t.gz", c.data);
    std::string path = member_path(archive, "t");
    EXPECT_EQ(stats(path).size, c.announced);
    EXPECT_EQ(list(archive, false).members.at(0).stats.size, c.announced);
    gunzip_result expected = gunzip_tool(dir, c.data);
    EXPECT_EQ(expected.ok, c.opens);
    if (c.opens) {
      EXPECT_TRUE(open_content(path) == text);
      EXPECT_EQ(list(archive, true).members.at(0).stats.size, text.size());
    } else {
      EXPECT_THROW_EXACT(open(path), exception_io_data, " corrupt file");
      EXPECT_THROW_EXACT(list(archive, true), exception_io_data, " corrupt file");
    }
  }
}

TEST_F(GzArchive, TrailerSizesAtTheLimit) {
  struct limit_case {
    uint32_t isize;
    bool refused;
  };
  for (limit_case c : {limit_case{0x7FFFFFFF, false}, limit_case{0x80000000, true},
                       limit_case{0xFFFFFFFF, true}}) {
    SCOPED_TRACE(c.isize);
    std::string gz = gzip_member("abc");
    set_trailer_size(gz, c.isize);
    std::string path = member_path(host.put("l.gz", gz), "l");
    if (c.refused) {
      const char* text = " unsupported file feature; gzip larger than 2GB";
      EXPECT_THROW_EXACT(stats(path), exception_io_data, text);
      EXPECT_THROW_EXACT(open(path), exception_io_data, text);
    } else {
      EXPECT_EQ(stats(path).size, c.isize);
      // The content is only 3 bytes; the reservation must not follow the
      // trailer, and the length check fails.
      EXPECT_THROW_EXACT(open(path), exception_io_data, " corrupt file");
    }
  }
}

TEST_F(GzArchive, ConcatenatedMembersOpenAsGunzipGivesThem) {
  std::string a = gzip_tool(dir, "first\n", 9), b = gzip_tool(dir, sample_text(70000), 1);
  struct series_case {
    const char* what;
    std::string data;
  };
  const series_case cases[] = {
      {"two members", a + b},
      {"an empty member between", a + gzip_member("") + b},
      {"trailing garbage", a + b + "junk at the end"},
      {"tape padding", a + b + std::string(2048, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    gunzip_result expected = gunzip_tool(dir, c.data);
    ASSERT_TRUE(expected.ok);
    std::string archive = host.put("s.gz", c.data);
    EXPECT_TRUE(open_content(member_path(archive, "s")) == expected.content);
    file_ptr unpacked;
    unpacker.unpack_file(unpacked, file_with(c.data), no_abort);
    EXPECT_TRUE(read_all(*unpacked) == expected.content);
  }
}

TEST_F(GzArchive, FileCutShortFailsWhereGunzipFails) {
  std::string text = sample_text(40000);
  std::string gz = gzip_tool(dir, text, 6);
  for (size_t cut : {size_t{5}, size_t{17}, size_t{18}, size_t{30}, gz.size() / 2, gz.size() - 9,
                     gz.size() - 8, gz.size() - 1}) {
    SCOPED_TRACE(cut);
    std::string data = gz.substr(0, cut);
    ASSERT_FALSE(gunzip_tool(dir, data).ok);
    std::string path = member_path(host.put("c.gz", data), "c");
    bool threw = false;
    try {
      open(path);
    } catch (const exception_io_data& e) {
      threw = true;
      EXPECT_TRUE(is_documented_failure(e.what())) << e.what();
    }
    EXPECT_TRUE(threw);
  }
}

TEST_F(GzArchive, UnpackDecodesFromTheFirstByte) {
  std::string gz = gzip_member("from the start");
  file_ptr source = file_with(gz, 31, gz.size() / 2);
  file_ptr out;
  unpacker.unpack_file(out, source, no_abort);
  EXPECT_EQ(out->get_position(no_abort), 0u);
  EXPECT_EQ(out->get_timestamp(no_abort), 31u);
  EXPECT_EQ(read_all(*out), "from the start");

  // The source reference may be the result reference too.
  unpacker.unpack_file(source, source, no_abort);
  EXPECT_EQ(read_all(*source), "from the start");

  file_ptr empty;
  EXPECT_THROW_EXACT(unpacker.unpack_file(out, empty, no_abort), exception_io_data,
                     "Unsupported format or corrupted file");
}

TEST_F(GzArchive, FailureLeavesTheCallersReferenceAlone) {
  std::string gz = gzip_member(sample_text(10000));
  gz[gz.size() - 6] ^= 1;  // damage the CRC-32
  file_ptr before = file_with("before");
  file_ptr out = before;
  EXPECT_THROW_EXACT(unpacker.unpack_file(out, file_with(gz), no_abort), exception_io_data,
                     " corrupt file");
  EXPECT_EQ(out.get_ptr(), before.get_ptr());
  std::string archive = host.put("d.gz", gz);
  EXPECT_THROW_EXACT(gz_fs.open_member(out, archive.c_str(), "d", no_abort), exception_io_data,
                     " corrupt file");
  EXPECT_EQ(out.get_ptr(), before.get_ptr());
}

TEST_F(GzArchive, AbortPassesThrough) {
  std::string gz = gzip_member(sample_text(3 << 20), 1);
  std::string archive = host.put("big.gz", gz);

  // The user's abort thrown by the host file on its N-th read.
  for (uint64_t n : {1, 2, 3, 5}) {
    SCOPED_TRACE(n);
    file_ptr source = make_faulty_file(file_with(gz), fault_plan{fault_read, n, fault_kind::abort});
    file_ptr out;
    EXPECT_THROW_EXACT(unpacker.unpack_file(out, source, no_abort), exception_aborted,
                       "User abort");
    EXPECT_TRUE(out.is_empty());
  }

  // An abort callback that is set stops the inflation even when the source
  // never looks at it.
  abort_callback_impl aborting;
  aborting.abort();
  file_ptr out;
  EXPECT_THROW_EXACT(unpacker.unpack_file(out, file_with(gz), aborting), exception_aborted,
                     "User abort");
  EXPECT_THROW_EXACT(gz_fs.open_member(out, archive.c_str(), "big", aborting), exception_aborted,
                     "User abort");
}

TEST_F(GzArchive, HostFailuresBecomeCouldntOpen) {
  std::string gz = gzip_member(sample_text(200000), 1);
  for (uint64_t n : {1, 2, 4}) {
    SCOPED_TRACE(n);
    file_ptr source =
        make_faulty_file(file_with(gz), fault_plan{fault_read, n, fault_kind::io_error});
    file_ptr out;
    EXPECT_THROW_EXACT(unpacker.unpack_file(out, source, no_abort), exception_io_data,
                       " couldn't open file");
  }
  file_ptr unseekable =
      make_faulty_file(file_with(gz), fault_plan{fault_seek, 1, fault_kind::io_error});
  file_ptr out;
  EXPECT_THROW_EXACT(unpacker.unpack_file(out, unseekable, no_abort), exception_io_data,
                     " read/write error");
}

namespace {

// An in-memory file that cannot tell its length.
class sizeless_file : public file_buffer {
 public:
  sizeless_file() : file_buffer(0, 0) {}
  uint64_t get_size(abort_callback&) override { return unknown_size; }
};

// A file that is not an in-memory one, recording its largest write.
class recording_file : public faulty_file {
 public:
  explicit recording_file(file_ptr inner) : faulty_file(std::move(inner), fault_plan{}, nullptr) {}
  void write(const void* buffer, uint32_t count, abort_callback& abort) override {
    if (count > largest_write) largest_write = count;
    faulty_file::write(buffer, count, abort);
  }
  uint32_t largest_write = 0;
};

}  // namespace

TEST_F(GzArchive, SourceOfUnknownLengthIsRefused) {
  file_ptr source(new service_impl_t<sizeless_file>());
  std::string gz = gzip_member("abc");
  source->write(gz.data(), static_cast<uint32_t>(gz.size()), no_abort);
  file_ptr out;
  EXPECT_THROW_EXACT(unpacker.unpack_file(out, source, no_abort), exception_io_no_length,
                     "Length of object is unknown");
}

TEST_F(GzArchive, InflateIntoWritesAtThePosition) {
  std::string text = sample_text(200000);
  file_ptr source = file_with(gzip_member(text) + gzip_member("!"));
  std::string expected = "head" + text + "!";

  // An in-memory file, filled in place at its position, longer than the
  // content so that its tail must survive.
  file_ptr memory = file_with("head" + std::string(300000, '#'), 0, 4);
  gzip_inflate_into(source, no_abort, memory);
  EXPECT_EQ(memory->get_position(no_abort), expected.size());
  EXPECT_EQ(memory->get_size(no_abort), 300004u);
  memory->reopen(no_abort);
  std::string all = read_all(*memory);
  EXPECT_TRUE(all.substr(0, expected.size()) == expected);
  EXPECT_EQ(all.substr(expected.size()), std::string(300004 - expected.size(), '#'));

  // Any other file is written in pieces of at most 1024 bytes.
  auto* recorder = new service_impl_t<recording_file>(file_with("head", 0, 4));
  file_ptr other(recorder);
  gzip_inflate_into(source, no_abort, other);
  EXPECT_EQ(recorder->largest_write, 1024u);
  other->reopen(no_abort);
  EXPECT_TRUE(read_all(*other) == expected);
}

TEST_F(GzArchive, RealWorldFilesOpenAsGunzipGivesThem) {
  fs::path corpus = fetched_corpus();
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no shared corpus at " << corpus;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (entry.is_regular_file() && entry.path().extension() == ".gz") files.push_back(entry.path());
  }
  ASSERT_FALSE(files.empty());
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    gunzip_result expected = gunzip_tool(dir, path);
    std::string data = read_file(path);
    file_ptr out;
    try {
      unpacker.unpack_file(out, file_with(data), no_abort);
      EXPECT_TRUE(expected.ok) << "gzip -dc fails on it";
      EXPECT_TRUE(read_all(*out) == expected.content);
    } catch (const exception_io_data& e) {
      EXPECT_FALSE(expected.ok) << e.what();
      EXPECT_TRUE(is_documented_failure(e.what())) << e.what();
    }
  }
}
