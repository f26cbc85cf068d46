#include "formats/bzip2/bz2_archive.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/member_path.h"
#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/faulty_file.h"
#include "tests/support/member_recorder.h"
#include "tests/support/string_file.h"
#include "tests/support/test_host.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

// The bzip2 tool's output for `data`.
std::string bzip2_tool(const std::string& data) {
  char name[] = "/tmp/bz2_test_XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  std::string line = std::string("bzip2 -c -9 < ") + name;
  FILE* pipe = popen(line.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  std::string output;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
  EXPECT_EQ(pclose(pipe), 0);
  unlink(name);
  return output;
}

using recording_callback = member_recorder;

class Bz2Archive : public ::testing::Test {
 protected:
  Bz2Archive() { host.add_filesystem(&archive); }

  service_impl_single_t<archive_bz2> archive;
  service_impl_single_t<unpacker_bz2> unpacker;
  test_host host;
  const std::string content = "decompressed content\n" + std::string(5000, 'c') + "end";
  const std::string compressed = bzip2_tool(content);
};

TEST_F(Bz2Archive, ListsTheOneMember) {
  std::string path = host.put("music/song.flac.bz2", compressed);
  for (bool supply_readers : {false, true}) {
    SCOPED_TRACE(supply_readers);
    recording_callback callback;
    service_ptr_t<file> none;
    archive.list_members(path.c_str(), none, callback, supply_readers);
    ASSERT_EQ(callback.members.size(), 1u);
    const member_recorder::member& m = callback.members[0];
    EXPECT_EQ(m.owner, &archive);
    EXPECT_EQ(m.path, "unpack://bz2|25|mem://music/song.flac.bz2|song.flac");
    EXPECT_EQ(m.stats.size, content.size());
    EXPECT_EQ(m.stats.timestamp, host.mem().timestamp);
    // The content is always decoded, so it is always handed over.
    EXPECT_TRUE(m.has_reader);
    EXPECT_EQ(m.position, 0u);
    EXPECT_EQ(m.content, content);
  }
  EXPECT_EQ(archive.get_type_name(), std::string("bz2"));
}

TEST_F(Bz2Archive, ListingChecksTheExtensionFirst) {
  struct {
    const char* name;
    bool accepted;
  } cases[] = {
      {"x.bz2", true}, {"x.BZ2", true}, {"x.bZ2?version=2", true}, {"x.tbz2", true},
      {"x.bz", false}, {"x", false},    {"x.bz2.gz", false},       {"dir.bz2/x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = host.put(c.name, compressed);
    unsigned opens = host.mem().opens;
    recording_callback callback;
    service_ptr_t<file> none;
    if (c.accepted) {
      archive.list_members(path.c_str(), none, callback, false);
      ASSERT_EQ(callback.members.size(), 1u);
      EXPECT_EQ(callback.members[0].content, content);
    } else {
      EXPECT_THROW_EXACT(archive.list_members(path.c_str(), none, callback, false),
                         exception_io_data, "Unsupported format or corrupted file");
      EXPECT_EQ(host.mem().opens, opens) << "the archive was opened";
    }
  }
}

TEST_F(Bz2Archive, ListingUsesAGivenFileFromItsPosition) {
  service_ptr_t<file> reader = memory_file("prefix" + compressed, 77);
  reader->seek(6, no_abort);
  recording_callback callback;
  archive.list_members("C:\\music\\song.flac.bz2", reader, callback, false);
  ASSERT_EQ(callback.members.size(), 1u);
  EXPECT_EQ(callback.members[0].path, "unpack://bz2|22|C:\\music\\song.flac.bz2|song.flac");
  EXPECT_EQ(callback.members[0].stats.timestamp, 77u);
  EXPECT_EQ(callback.members[0].content, content);
  EXPECT_EQ(host.mem().opens, 0u);
}

TEST_F(Bz2Archive, BadDataReportsNoMember) {
  struct {
    const char* what;
    std::string data;
    bool truncated;
    const char* message;
  } cases[] = {
      {"text", "plain text, not compressed", false, "Not BZIP2 data"},
      {"empty", "", true, "Unsupported format or corrupted file"},
      {"cut short", compressed.substr(0, compressed.size() / 2), true,
       "Unsupported format or corrupted file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = host.put("bad.bz2", c.data);
    recording_callback callback;
    service_ptr_t<file> none;
    if (c.truncated) {
      EXPECT_THROW_EXACT(archive.list_members(path.c_str(), none, callback, true),
                         exception_io_data_truncation, c.message);
    } else {
      EXPECT_THROW_EXACT(archive.list_members(path.c_str(), none, callback, true),
                         exception_io_data, c.message);
    }
    EXPECT_TRUE(callback.members.empty());
  }
}

TEST_F(Bz2Archive, OpensAndMeasuresThroughDispatch) {
  host.put("a.txt.bz2", compressed);
  // Any member name gives the one member.
  for (const char* name : {"a.txt", "never-listed"}) {
    SCOPED_TRACE(name);
    std::string member_path = std::string("unpack://bz2|15|mem://a.txt.bz2|") + name;
    service_ptr_t<file> opened;
    filesystem::g_open(opened, member_path.c_str(), open_mode_read, no_abort);
    ASSERT_TRUE(opened.is_valid());
    EXPECT_EQ(opened->get_position(no_abort), 0u);
    EXPECT_EQ(opened->get_timestamp(no_abort), host.mem().timestamp);
    EXPECT_EQ(read_all(*opened), content);

    file_stats stats{};
    bool writable = true;
    archive.get_stats(member_path.c_str(), stats, writable, no_abort);
    EXPECT_EQ(stats.size, content.size());
    EXPECT_EQ(stats.timestamp, host.mem().timestamp);
    EXPECT_FALSE(writable);
  }
}

TEST_F(Bz2Archive, MemberPathAsArchivePath) {
  // A .bz2 file compressed once more: its member is itself a .bz2 archive.
  host.put("a.txt.bz2.bz2", bzip2_tool(compressed));
  const std::string inner = "unpack://bz2|19|mem://a.txt.bz2.bz2|a.txt.bz2";
  const std::string outer = "unpack://bz2|" + std::to_string(inner.size()) + "|" + inner + "|a.txt";

  service_ptr_t<file> opened;
  filesystem::g_open(opened, outer.c_str(), open_mode_read, no_abort);
  EXPECT_EQ(read_all(*opened), content);

  recording_callback callback;
  service_ptr_t<file> none;
  archive.list_members(inner.c_str(), none, callback, false);
  ASSERT_EQ(callback.members.size(), 1u);
  EXPECT_EQ(callback.members[0].path, outer);
  EXPECT_EQ(callback.members[0].content, content);

  file_stats stats = archive.get_member_stats(inner.c_str(), "a.txt", no_abort);
  EXPECT_EQ(stats.size, content.size());
}

TEST_F(Bz2Archive, FailureLeavesTheOutputAlone) {
  std::string path = host.put("bad.bz2", compressed.substr(0, compressed.size() - 1));
  file_ptr sentinel = memory_file("sentinel");
  service_ptr_t<file> out = sentinel;
  EXPECT_THROW_EXACT(archive.open_member(out, path.c_str(), "bad", no_abort),
                     exception_io_data_truncation, "Unsupported format or corrupted file");
  EXPECT_EQ(out.get_ptr(), sentinel.get_ptr());

  std::string crc_broken = compressed;
  crc_broken[10] ^= 1;
  EXPECT_THROW_EXACT(unpacker.unpack_file(out, memory_file(crc_broken), no_abort),
                     exception_io_data, "Unknown exception");
  EXPECT_EQ(out.get_ptr(), sentinel.get_ptr());

  // The archive file is missing: the filesystem's failure passes through.
  EXPECT_THROW_EXACT(archive.open_member(out, "mem://missing.bz2", "x", no_abort),
                     exception_io_not_found, "Object not found");
  EXPECT_THROW_EXACT(archive.get_member_stats("nowhere://x.bz2", "x", no_abort),
                     exception_io_no_handler_for_path, "Invalid path");
  EXPECT_EQ(out.get_ptr(), sentinel.get_ptr());
}

TEST_F(Bz2Archive, HostFileFailuresPassThrough) {
  std::string path = host.put("a.bz2", compressed);
  for (fault_kind kind : {fault_kind::io_error, fault_kind::abort}) {
    // Fail each operation on the archive file in turn until none is left.
    uint64_t n = 1;
    for (;; ++n) {
      SCOPED_TRACE(n);
      host.mem().faults = fault_plan{fault_all, n, kind};
      host.mem().fault_calls = 0;
      file_ptr sentinel = memory_file("sentinel");
      service_ptr_t<file> out = sentinel;
      try {
        archive.open_member(out, path.c_str(), "a", no_abort);
      } catch (const exception_aborted&) {
        EXPECT_EQ(kind, fault_kind::abort);
        EXPECT_EQ(out.get_ptr(), sentinel.get_ptr());
        continue;
      } catch (const exception_io_denied&) {
        EXPECT_EQ(kind, fault_kind::io_error);
        EXPECT_EQ(out.get_ptr(), sentinel.get_ptr());
        continue;
      }
      EXPECT_LT(host.mem().fault_calls, n);
      EXPECT_EQ(read_all(*out), content);
      break;
    }
    // A timestamp, reads and a seek at least were each made to fail.
    EXPECT_GT(n, 3u);
  }
  host.mem().faults = fault_plan{};
}

TEST_F(Bz2Archive, UnpacksFromTheCurrentPosition) {
  file_ptr source = memory_file("xyz" + compressed, 1234);
  source->seek(3, no_abort);
  service_ptr_t<file> out;
  unpacker.unpack_file(out, source, no_abort);
  ASSERT_TRUE(out.is_valid());
  EXPECT_EQ(out->get_position(no_abort), 0u);
  EXPECT_EQ(out->get_timestamp(no_abort), 1234u);
  EXPECT_EQ(read_all(*out), content);
}

TEST_F(Bz2Archive, UnpackRefusesOtherData) {
  service_ptr_t<file> out;
  EXPECT_THROW_EXACT(unpacker.unpack_file(out, service_ptr_t<file>(), no_abort), exception_io_data,
                     "Unsupported format or corrupted file");
  EXPECT_THROW_EXACT(
      unpacker.unpack_file(
          out, memory_file(std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03gzip data", 19)), no_abort),
      exception_io_data, "Not BZIP2 data");
  EXPECT_THROW_EXACT(unpacker.unpack_file(out, memory_file(""), no_abort),
                     exception_io_data_truncation, "Unsupported format or corrupted file");
  EXPECT_TRUE(out.is_empty());
}

TEST_F(Bz2Archive, UnpackerAnswersOnlyItsInterface) {
  service_ptr_t<service_base> out;
  EXPECT_TRUE(unpacker.query_class(out, unpacker::class_guid));
  EXPECT_EQ(out.get_ptr(), static_cast<service_base*>(&unpacker));
  service_ptr_t<service_base> none;
  EXPECT_FALSE(unpacker.query_class(none, file::class_guid));
  EXPECT_FALSE(unpacker.query_class(none, filesystem::class_guid));
  EXPECT_TRUE(none.is_empty());
}

}  // namespace
