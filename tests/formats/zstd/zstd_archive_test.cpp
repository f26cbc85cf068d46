// The zstd archive service, unpacker, decoder and view format, against the
// zstd tool: files it writes decode as `zstd -dc` decodes them, by every
// road (the whole file, a view pass from the start or from any frame), and
// damaged or cut files fail with the documented exception.
#include "formats/zstd/zstd_archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/zstd/zstd_decoder.h"
#include "formats/zstd/zstd_view.h"
#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/member_recorder.h"
#include "tests/support/sample_files.h"
#include "tests/support/string_file.h"
#include "tests/support/test_host.h"
#include "tests/support/tool_run.h"
#include "tests/support/tripping_abort.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

// The zstd tool's output for a file holding `data`, whose size the frame
// header declares; `from_pipe` compresses standard input instead, which
// leaves the size out.
std::string zstd_tool(const std::string& data, const std::string& options, bool from_pipe = false) {
  std::string command = "zstd -c -q " + options;
  if (!from_pipe)
    command = "(f=$(mktemp) && cat > $f && " + command + " $f; s=$?; rm -f $f; exit $s)";
  tool_result r = run_tool(command, data);
  EXPECT_EQ(r.status, 0) << options;
  return r.output;
}

outcome decode_whole(const std::string& zst) {
  return ::decode_whole(zstd_decode_into, zst);
}

const std::string truncated = error_record(typeid(exception_io_data_truncation).name(),
                                           "Unsupported format or corrupted file");
const std::string corrupt = error_record(typeid(exception_io_data).name(), "Corrupt ZSTD data");
const std::string not_zstd = error_record(typeid(exception_io_data).name(), "Not ZSTD data");

// What `zstd -dc` makes of `zst`: its output, or the failure the module
// reports for the tool's complaint.
outcome zstd_tool_verdict(const std::string& zst) {
  tool_result decoded = run_tool("zstd -dc", zst);
  if (decoded.status == 0) return {decoded.output, true, ""};
  std::string said = run_tool_diagnostics("zstd -dc", zst).output;
  if (said.find("premature end") != std::string::npos) return {"", false, truncated};
  if (said.find("unknown header") != std::string::npos ||
      said.find("unsupported format") != std::string::npos) {
    return {"", false, corrupt};
  }
  ADD_FAILURE() << "zstd said: " << said;
  return {"", false, said};
}

// Every road to the content of `zst` ends as `expected` does: the whole
// file, a view pass from the start, and view passes from each frame, each
// reporting the frames after it.
void expect_every_road(const std::string& zst, const outcome& expected) {
  ::expect_every_road(zst, expected, {{"whole file", decode_whole}}, zstd_view_format(), true);
}

// A skippable frame holding `payload`.
std::string skippable_frame(const std::string& payload) {
  std::string frame("\x5A\x2A\x4D\x18", 4);
  for (int i = 0; i < 4; ++i) frame += static_cast<char>(payload.size() >> (8 * i));
  return frame + payload;
}

}  // namespace

TEST(ZstdDecode, ToolMadeFilesDecodeAsZstdDecodesThem) {
  std::string text = sample_text(300000), other = sample_text(70000, 2);
  std::string one = zstd_tool(text, "-3"), two = zstd_tool(other, "-1 --no-check");
  std::string piped = zstd_tool(text, "-3", true);
  struct tool_case {
    const char* what;
    std::string zst;
    bool size_declared;
    size_t frames;
  };
  const tool_case cases[] = {
      {"level 1", zstd_tool(text, "-1"), true, 1},
      {"level 19", zstd_tool(text, "-19"), true, 1},
      {"long distance", zstd_tool(text + text, "--long"), true, 1},
      {"without checksum", zstd_tool(text, "--no-check"), true, 1},
      {"from a pipe", piped, false, 1},
      {"concatenated, an empty frame last", one + two + zstd_tool("", ""), true, 3},
      {"a skippable frame first and between",
       skippable_frame("meta") + one + skippable_frame("") + two, true, 4},
      {"concatenated, one from a pipe", one + piped, false, 2},
      // Past the ratio believed for reserving memory at once.
      {"zeros", zstd_tool(std::string(4 << 20, '\0'), "-19"), true, 1},
  };
  for (const tool_case& c : cases) {
    SCOPED_TRACE(c.what);
    tool_result reference = run_tool("zstd -dc", c.zst);
    ASSERT_EQ(reference.status, 0);
    ASSERT_GE(reference.output.size(), 70000u);
    expect_every_road(c.zst, {reference.output, true, ""});
    EXPECT_EQ(zstd_declared_size(memory_file(c.zst), no_abort),
              c.size_declared ? reference.output.size() : unknown_size);
    pass_run pass = run_view_pass(zstd_view_format(), memory_file(c.zst), nullptr);
    EXPECT_EQ(pass.checkpoints.size(), c.frames - 1);
  }
}

TEST(ZstdDecode, BytesAfterTheFramesEndAsZstdEndsThem) {
  std::string text = sample_text(5000);
  std::string zst = zstd_tool(text, ""), second = zstd_tool("second", "");
  std::string skippable = skippable_frame("xyz");
  const std::pair<const char*, std::string> cases[] = {
      {"garbage", "garbage"},
      {"zeros", std::string(7, '\0')},
      {"three zeros", std::string(3, '\0')},
      {"one byte of a magic", second.substr(0, 1)},
      {"three bytes of a magic", second.substr(0, 3)},
      {"a magic alone", second.substr(0, 4)},
      {"a frame cut short", second.substr(0, second.size() - 2)},
      {"a skippable frame's magic and part of its length", skippable.substr(0, 6)},
      {"a skippable frame cut short", skippable.substr(0, 9)},
      {"a skippable frame, then garbage", skippable + "garbage"},
  };
  for (const auto& [what, after] : cases) {
    SCOPED_TRACE(what);
    outcome expected = zstd_tool_verdict(zst + after);
    expect_every_road(zst + after, expected);
    EXPECT_EQ(zstd_declared_size(memory_file(zst + after), no_abort), unknown_size);
  }
}

TEST(ZstdDecode, EveryCutIsTruncation) {
  std::string first = zstd_tool(sample_text(3000), "-1"), skippable = skippable_frame("xyz");
  std::string zst = first + skippable + zstd_tool(sample_text(1000, 3), "-1");
  // Where a frame ends the file is good; fewer than four bytes after it
  // are, as the zstd tool reads them, an unknown header, not a frame.
  const size_t frame_ends[] = {first.size(), first.size() + skippable.size()};
  for (size_t cut = 1; cut < zst.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::string expected = truncated;
    for (size_t end : frame_ends) {
      if (cut == end) expected = "ok";
      if (cut > end && cut < end + 4) expected = corrupt;
    }
    std::string part = zst.substr(0, cut);
    EXPECT_EQ(decode_whole(part).verdict(), expected);
    EXPECT_EQ(run_view_pass(zstd_view_format(), memory_file(part), nullptr).verdict(), expected);
  }
  EXPECT_EQ(decode_whole("").verdict(), not_zstd);
}

TEST(ZstdDecode, DamageIsCorruptData) {
  std::string text = sample_text(200000);
  std::string zst = zstd_tool(text, "-3");
  struct flip_case {
    const char* what;
    size_t offset;
  };
  const flip_case cases[] = {
      {"compressed data", zst.size() / 2},
      {"checksum", zst.size() - 2},
  };
  for (const flip_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = zst;
    bad[c.offset] = static_cast<char>(bad[c.offset] ^ 0x10);
    EXPECT_EQ(decode_whole(bad).verdict(), corrupt);
    EXPECT_EQ(run_view_pass(zstd_view_format(), memory_file(bad), nullptr).verdict(), corrupt);
  }
  // Reserved frame header bits, and a window larger than the limit.
  std::string reserved = zst;
  reserved[4] = static_cast<char>(reserved[4] | 0x08);
  EXPECT_EQ(decode_whole(reserved).verdict(),
            error_record(typeid(exception_io_data).name(), "Unsupported ZSTD feature"));
  std::string wide = zstd_tool(text, "--long=30", true);
  EXPECT_EQ(decode_whole(wide).verdict(),
            error_record(typeid(exception_io_data).name(), "Unsupported ZSTD feature"));
}

TEST(ZstdDecode, OtherDataIsNotZstd) {
  const std::string cases[] = {"", "x", "hello, world",
                               std::string("\xFD"
                                           "7zXZ\0",
                                           6)};
  for (const std::string& data : cases) {
    SCOPED_TRACE(data);
    EXPECT_EQ(decode_whole(data).verdict(), not_zstd);
    EXPECT_EQ(run_view_pass(zstd_view_format(), memory_file(data), nullptr).verdict(), not_zstd);
    EXPECT_THROW_EXACT(zstd_declared_size(memory_file(data), no_abort), exception_io_data,
                       "Not ZSTD data");
  }
}

TEST(ZstdDecode, AbortPassesThroughAndIsPolledEveryMebibyte) {
  std::string zst = zstd_tool(sample_text(8 << 20), "-1");
  tripping_abort never;
  file_ptr out = make_file_buffer(0, 0);
  zstd_decode_into(memory_file(zst), never, out);
  EXPECT_GE(never.polls(), 8u);
  tripping_abort trips(3);
  file_ptr partial = make_file_buffer(0, 0);
  EXPECT_THROW_EXACT(zstd_decode_into(memory_file(zst), trips, partial), exception_aborted,
                     "User abort");
}

TEST(ZstdDecode, IntoAFileNotInMemory) {
  std::string text = sample_text(200000);
  auto* sink = new service_impl_t<string_file>();
  file_ptr out(sink);
  zstd_decode_into(memory_file(zstd_tool(text, "", true)), no_abort, out);
  EXPECT_TRUE(same_bytes(sink->content, text));
}

namespace {

class ZstArchive : public ::testing::Test {
 protected:
  ZstArchive() { host.add_filesystem(&zst_fs); }

  test_host host;
  service_impl_single_t<archive_zst> zst_fs;
  service_impl_single_t<unpacker_zst> unpacker;
};

}  // namespace

TEST_F(ZstArchive, ListsMeasuresOpensAndUnpacksTheOneMember) {
  std::string text = sample_text(100000);
  struct name_case {
    const char* archive;
    const char* member;
    bool from_pipe;
  };
  const name_case cases[] = {
      {"music/song.wav.zst", "song.wav", false},
      {"music/album.tzst", "album.tar", false},
      {"music/ALBUM.TZST", "ALBUM.tar", true},
      {"music/Notes.ZST", "Notes", true},
  };
  for (const name_case& c : cases) {
    SCOPED_TRACE(c.archive);
    std::string archive = host.put(c.archive, zstd_tool(text, "", c.from_pipe));
    std::string path =
        "unpack://zst|" + std::to_string(archive.size()) + "|" + archive + "|" + c.member;
    uint64_t declared = c.from_pipe ? unknown_size : text.size();
    for (bool readers : {false, true}) {
      member_recorder listing;
      file_ptr none;
      zst_fs.list_members(archive.c_str(), none, listing, readers);
      ASSERT_EQ(listing.members.size(), 1u);
      EXPECT_EQ(listing.members[0].path, path);
      EXPECT_EQ(listing.members[0].stats.size, readers ? text.size() : declared);
      EXPECT_EQ(listing.members[0].stats.timestamp, host.mem().timestamp);
      EXPECT_EQ(listing.members[0].has_reader, readers);
      if (readers) {
        EXPECT_TRUE(same_bytes(listing.members[0].content, text));
      }
    }
    EXPECT_EQ(zst_fs.get_member_stats(archive.c_str(), c.member, no_abort).size, declared);
    file_ptr opened;
    zst_fs.open_member(opened, archive.c_str(), c.member, no_abort);
    EXPECT_TRUE(same_bytes(read_all(*opened), text));
  }
  member_recorder listing;
  file_ptr none;
  EXPECT_THROW_EXACT(zst_fs.list_members("music/song.wav.xz", none, listing, true),
                     exception_io_data, "Unsupported format or corrupted file");

  file_ptr source = memory_file(zstd_tool(text, ""));
  source->seek(10, no_abort);
  file_ptr out;
  unpacker.unpack_file(out, source, no_abort);
  EXPECT_EQ(out->get_position(no_abort), 0u);
  EXPECT_TRUE(same_bytes(read_all(*out), text));
}
