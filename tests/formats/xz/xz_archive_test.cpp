// The xz archive service, unpacker, decoder and view format, against the
// xz tool: files it writes decode as `xz -dc` decodes them, by every road
// (one or two threads, a view pass from the start or from any block), and
// damaged or cut files fail with the documented exception.
#include "formats/xz/xz_archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/decoded_view.h"
#include "formats/xz/xz_decoder.h"
#include "formats/xz/xz_view.h"
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

std::string xz_tool(const std::string& data, const std::string& options) {
  tool_result r = run_tool("xz -c -q " + options, data);
  EXPECT_EQ(r.status, 0) << options;
  return r.output;
}

// The whole-file decode into an in-memory file with `threads` threads.
outcome decode_whole(const std::string& xz, uint32_t threads) {
  xz_set_decoder_threads(threads);
  outcome result = ::decode_whole(xz_decode_into, xz);
  xz_set_decoder_threads(0);
  return result;
}

const std::string truncated = error_record(typeid(exception_io_data_truncation).name(),
                                           "Unsupported format or corrupted file");
const std::string corrupt = error_record(typeid(exception_io_data).name(), "Corrupt XZ data");
const std::string not_xz = error_record(typeid(exception_io_data).name(), "Not XZ data");

// What `xz -dc` makes of `xz`: its output, or the failure the module
// reports for the tool's complaint.
outcome xz_tool_verdict(const std::string& xz) {
  tool_result decoded = run_tool("xz -dc", xz);
  if (decoded.status == 0) return {decoded.output, true, ""};
  std::string said = run_tool_diagnostics("xz -dc", xz).output;
  if (said.find("Unexpected end of input") != std::string::npos) return {"", false, truncated};
  if (said.find("Compressed data is corrupt") != std::string::npos) return {"", false, corrupt};
  ADD_FAILURE() << "xz said: " << said;
  return {"", false, said};
}

// Every road to the content of `xz` ends as `expected` does: one and two
// threads, a view pass from the start, and view passes from each block.
void expect_every_road(const std::string& xz, const outcome& expected) {
  ::expect_every_road(xz, expected,
                      {{"threads 1", [](const std::string& x) { return decode_whole(x, 1); }},
                       {"threads 2", [](const std::string& x) { return decode_whole(x, 2); }}},
                      xz_view_format(), false);
}

}  // namespace

TEST(XzDecode, ToolMadeFilesDecodeAsXzDecodesThem) {
  std::string text = sample_text(300000), other = sample_text(70000, 2);
  std::string one = xz_tool(text, "-6"), two = xz_tool(other, "-1"), empty = xz_tool("", "");
  struct tool_case {
    const char* what;
    std::string xz;
    size_t blocks;
  };
  const tool_case cases[] = {
      {"level 0", xz_tool(text, "-0"), 1},
      {"level 6", one, 1},
      {"level 9e", xz_tool(text, "-9e"), 1},
      {"-T0 with small blocks", xz_tool(text, "-T0 --block-size=40000"), 8},
      {"one thread with small blocks", xz_tool(text, "-T1 --block-size=100000"), 3},
      {"check none", xz_tool(text, "--check=none --block-size=100000"), 3},
      {"check crc32", xz_tool(text, "--check=crc32"), 1},
      {"check crc64", xz_tool(text, "--check=crc64 --block-size=100000"), 3},
      {"check sha256", xz_tool(text, "--check=sha256 --block-size=100000"), 3},
      {"empty", empty, 0},
      {"concatenated, an empty stream between", one + empty + two, 2},
      {"stream padding", one + std::string(8, '\0') + two + std::string(4, '\0'), 2},
      // Past the ratio believed for reserving memory at once.
      {"zeros", xz_tool(std::string(4 << 20, '\0'), "-9 --block-size=1MiB"), 4},
  };
  for (const tool_case& c : cases) {
    SCOPED_TRACE(c.what);
    tool_result reference = run_tool("xz -dc", c.xz);
    ASSERT_EQ(reference.status, 0);
    ASSERT_TRUE(reference.output == text || reference.output.empty() || c.blocks == 2 ||
                reference.output == std::string(4 << 20, '\0'));
    expect_every_road(c.xz, {reference.output, true, ""});

    xz_index_ptr index = xz_read_index(memory_file(c.xz), no_abort);
    ASSERT_TRUE(index);
    EXPECT_EQ(lzma_index_block_count(index.get()), c.blocks);
    EXPECT_EQ(xz_content_size(memory_file(c.xz), no_abort), reference.output.size());
    pass_run pass = run_view_pass(xz_view_format(), memory_file(c.xz), nullptr);
    EXPECT_EQ(pass.checkpoints.size(), c.blocks > 0 ? c.blocks - 1 : 0);
  }
}

TEST(XzDecode, BytesAfterTheStreamsEndAsXzEndsThem) {
  std::string text = sample_text(5000);
  std::string xz = xz_tool(text, "--block-size=2000"), second = xz_tool("second", "");
  std::string wrong_magic = second;
  wrong_magic[4] = 'Y';
  // A 32-byte file: a stream header, an index cut after its count of 2^33
  // records and a first record, and a footer that points at it. Holding
  // such an index would take over 100 GiB.
  std::string huge_count = second.substr(0, 12) + std::string("\0\x80\x80\x80\x80\x20\x10\0", 8);
  std::string footer("\0\0\0\0\x01\0\0\0", 8);
  footer += second.substr(6, 2) + "YZ";
  uint32_t crc = lzma_crc32(reinterpret_cast<const uint8_t*>(footer.data()) + 4, 6, 0);
  for (int i = 0; i < 4; ++i) footer[i] = static_cast<char>(crc >> (8 * i));
  huge_count += footer;
  struct trailing_case {
    const char* what;
    std::string xz;
  };
  const trailing_case cases[] = {
      {"padding in fours", xz + std::string(8, '\0')},
      {"five bytes of padding", xz + std::string(5, '\0')},
      {"zeros not in fours, then a stream", xz + std::string(6, '\0') + second},
      {"garbage shorter than a stream header", xz + "garbage"},
      {"garbage as long as a stream header", xz + "garbage, garbage"},
      {"padding, then garbage", xz + std::string(4, '\0') + "x"},
      {"one byte of a magic", xz + second.substr(0, 1)},
      {"half a magic", xz + second.substr(0, 3)},
      {"a stream header alone", xz + second.substr(0, 12)},
      {"a stream cut short", xz + second.substr(0, 20)},
      {"a stream whose magic has a wrong byte", xz + wrong_magic},
      {"an empty LZMA_Alone file", xz + run_tool("xz -c -q --format=lzma", "").output},
      {"an index count past what the file holds", huge_count},
  };
  for (const trailing_case& c : cases) {
    SCOPED_TRACE(c.what);
    outcome expected = xz_tool_verdict(c.xz);
    expect_every_road(c.xz, expected);
    // The index is not at the end: the size is not known without decoding.
    uint64_t size = expected.ok ? expected.content.size() : unknown_size;
    EXPECT_EQ(xz_content_size(memory_file(c.xz), no_abort), size);
  }
}

TEST(XzDecode, EveryCutIsTruncation) {
  std::string xz = xz_tool(sample_text(3000), "--block-size=1000 --check=crc32");
  for (size_t cut = 1; cut < xz.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::string part = xz.substr(0, cut);
    EXPECT_EQ(decode_whole(part, 2).verdict(), truncated);
    EXPECT_EQ(run_view_pass(xz_view_format(), memory_file(part), nullptr).verdict(), truncated);
  }
  EXPECT_EQ(decode_whole("", 1).verdict(), not_xz);
}

TEST(XzDecode, DamageIsCorruptDataOnEveryRoad) {
  std::string text = sample_text(200000);
  std::string xz = xz_tool(text, "-T0 --block-size=50000 --check=crc64");
  std::vector<xz_block_place> blocks;
  xz_index_ptr index = xz_read_index(memory_file(xz), no_abort);
  ASSERT_TRUE(index);
  xz_for_each_block(index.get(), [&](const xz_block_place& p) { blocks.push_back(p); });
  ASSERT_EQ(blocks.size(), 4u);
  const xz_block_place& second = blocks[1];
  uint64_t index_start =
      blocks.back().compressed_offset + (blocks.back().unpadded_size + 3) / 4 * 4;
  // Block 1's record: its unpadded size, then its uncompressed size.
  uint64_t record_size = index_start + 2;
  while (static_cast<uint8_t>(xz[record_size]) & 0x80) ++record_size;
  ++record_size;
  struct flip_case {
    const char* what;
    uint64_t offset;
    bool index_crc_made_right = false;
  };
  const flip_case cases[] = {
      {"stream header flags", 7},
      {"block header", second.compressed_offset + 2},
      {"compressed data", second.compressed_offset + second.unpadded_size / 2},
      {"block check", second.compressed_offset + second.unpadded_size - 3},
      {"index", index_start + 3},
      {"index record, the index's CRC-32 made right", record_size, true},
      {"stream footer", xz.size() - 8},
  };
  pass_run good = run_view_pass(xz_view_format(), memory_file(xz), nullptr);
  ASSERT_EQ(good.checkpoints.size(), 3u);
  for (const flip_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = xz;
    bad[c.offset] = static_cast<char>(bad[c.offset] ^ 0x10);
    if (c.index_crc_made_right) {
      size_t crc_at = xz.size() - 16;
      uint32_t crc = lzma_crc32(reinterpret_cast<const uint8_t*>(bad.data()) + index_start,
                                crc_at - index_start, 0);
      for (int i = 0; i < 4; ++i) bad[crc_at + i] = static_cast<char>(crc >> (8 * i));
      ASSERT_TRUE(xz_read_index(memory_file(bad), no_abort));
    }
    for (uint32_t threads : {1u, 2u}) EXPECT_EQ(decode_whole(bad, threads).verdict(), corrupt);
    pass_run from_start = run_view_pass(xz_view_format(), memory_file(bad), nullptr);
    EXPECT_EQ(from_start.verdict(), corrupt);
    // A pass from the start that has a well-formed index holds each block
    // to its record: the disagreement fails block 1, not the index.
    if (c.index_crc_made_right) {
      EXPECT_LE(from_start.content.size(), blocks[0].uncompressed_size);
    }
    // A pass from a block sees damage at or after that block, up to the
    // stream's index and footer, with the good file's checkpoints. It
    // checks the records from its block on: block 1's is not among them.
    uint64_t damage = c.index_crc_made_right ? blocks[0].compressed_offset : c.offset;
    for (size_t i = 0; i < good.checkpoints.size(); ++i) {
      if (damage < blocks[i + 1].compressed_offset) continue;
      SCOPED_TRACE("from block " + std::to_string(i + 1));
      EXPECT_EQ(run_view_pass(xz_view_format(), memory_file(bad), &good.checkpoints[i]).verdict(),
                corrupt);
    }
  }
}

TEST(XzDecode, OtherDataIsNotXz) {
  const std::string cases[] = {"", "x", "hello, world", std::string("\x1F\x8B\x08\0\0\0\0\0", 8)};
  for (const std::string& data : cases) {
    SCOPED_TRACE(data);
    EXPECT_EQ(decode_whole(data, 1).verdict(), not_xz);
    EXPECT_EQ(run_view_pass(xz_view_format(), memory_file(data), nullptr).verdict(), not_xz);
    EXPECT_THROW_EXACT(xz_content_size(memory_file(data), no_abort), exception_io_data,
                       "Not XZ data");
  }
}

TEST(XzDecode, AReservedCheckTypeIsUnsupported) {
  // Check type 2 is reserved: liblzma cannot verify it, so nothing is
  // decoded unverified. The header's flags and CRC-32 are rewritten.
  std::string xz = xz_tool(sample_text(1000), "--check=none");
  xz[7] = 0x02;
  uint32_t crc = lzma_crc32(reinterpret_cast<const uint8_t*>(xz.data()) + 6, 2, 0);
  for (int i = 0; i < 4; ++i) xz[8 + i] = static_cast<char>(crc >> (8 * i));
  const std::string unsupported =
      error_record(typeid(exception_io_data).name(), "Unsupported XZ feature");
  for (uint32_t threads : {1u, 2u}) EXPECT_EQ(decode_whole(xz, threads).verdict(), unsupported);
  EXPECT_EQ(run_view_pass(xz_view_format(), memory_file(xz), nullptr).verdict(), unsupported);
}

TEST(XzDecode, AbortPassesThroughAndIsPolledEveryMebibyte) {
  std::string text = sample_text(8 << 20);
  std::string xz = xz_tool(text, "-1 -T0 --block-size=1MiB");
  for (uint32_t threads : {1u, 2u}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    xz_set_decoder_threads(threads);
    tripping_abort never;
    file_ptr out = make_file_buffer(0, 0);
    xz_decode_into(memory_file(xz), never, out);
    EXPECT_GE(never.polls(), 8u);
    tripping_abort trips(3);
    file_ptr partial = make_file_buffer(0, 0);
    EXPECT_THROW_EXACT(xz_decode_into(memory_file(xz), trips, partial), exception_aborted,
                       "User abort");
  }
  xz_set_decoder_threads(0);
  tripping_abort trips(3);
  EXPECT_EQ(run_view_pass(xz_view_format(), memory_file(xz), nullptr, 1 << 20, &trips).verdict(),
            error_record(typeid(exception_aborted).name(), "User abort"));
}

TEST(XzDecode, ADecodedViewReadsAnywhereThroughTheBlocks) {
  std::string text = sample_text(300000);
  std::string xz = xz_tool(text, "-T2 --block-size=20000");
  auto entry = std::make_shared<content_entry>();
  file_ptr view(new service_impl_t<decoded_view>(xz_view_format(), memory_file(xz), entry, 0));
  // Far ahead, then back, then into the middle of a block: each read
  // starts a pass at the block before it.
  for (uint64_t at : {290000u, 5u, 150003u, 20000u, 299990u, 40001u}) {
    SCOPED_TRACE(at);
    std::string piece(9, '\0');
    view->seek(at, no_abort);
    uint32_t got = view->read(piece.data(), 9, no_abort);
    EXPECT_EQ(piece.substr(0, got), text.substr(at, 9));
  }
  EXPECT_EQ(entry->checkpoint_count(), 14u);
}

TEST(XzDecode, IntoAFileNotInMemory) {
  std::string text = sample_text(200000);
  auto* sink = new service_impl_t<string_file>();
  file_ptr out(sink);
  xz_decode_into(memory_file(xz_tool(text, "--block-size=30000")), no_abort, out);
  EXPECT_TRUE(same_bytes(sink->content, text));
}

namespace {

class XzArchive : public ::testing::Test {
 protected:
  XzArchive() { host.add_filesystem(&xz_fs); }

  test_host host;
  service_impl_single_t<archive_xz> xz_fs;
  service_impl_single_t<unpacker_xz> unpacker;
};

}  // namespace

TEST_F(XzArchive, ListsMeasuresOpensAndUnpacksTheOneMember) {
  std::string text = sample_text(100000);
  std::string xz = xz_tool(text, "--block-size=30000");
  struct name_case {
    const char* archive;
    const char* member;
  };
  const name_case cases[] = {
      {"music/song.wav.xz", "song.wav"},
      {"music/album.txz", "album.tar"},
      {"music/ALBUM.TXZ", "ALBUM.tar"},
      {"music/Notes.XZ", "Notes"},
  };
  for (const name_case& c : cases) {
    SCOPED_TRACE(c.archive);
    std::string archive = host.put(c.archive, xz);
    std::string path =
        "unpack://xz|" + std::to_string(archive.size()) + "|" + archive + "|" + c.member;
    for (bool readers : {false, true}) {
      member_recorder listing;
      file_ptr none;
      xz_fs.list_members(archive.c_str(), none, listing, readers);
      ASSERT_EQ(listing.members.size(), 1u);
      EXPECT_EQ(listing.members[0].path, path);
      EXPECT_EQ(listing.members[0].stats.size, text.size());
      EXPECT_EQ(listing.members[0].stats.timestamp, host.mem().timestamp);
      EXPECT_EQ(listing.members[0].has_reader, readers);
      if (readers) {
        EXPECT_TRUE(same_bytes(listing.members[0].content, text));
      }
    }
    EXPECT_EQ(xz_fs.get_member_stats(archive.c_str(), c.member, no_abort).size, text.size());
    file_ptr opened;
    xz_fs.open_member(opened, archive.c_str(), c.member, no_abort);
    EXPECT_TRUE(same_bytes(read_all(*opened), text));
  }
  member_recorder listing;
  file_ptr none;
  EXPECT_THROW_EXACT(xz_fs.list_members("music/song.wav.gz", none, listing, true),
                     exception_io_data, "Unsupported format or corrupted file");

  // The unpacker decodes from the source's first byte.
  file_ptr source = memory_file(xz);
  source->seek(10, no_abort);
  file_ptr out;
  unpacker.unpack_file(out, source, no_abort);
  EXPECT_EQ(out->get_position(no_abort), 0u);
  EXPECT_TRUE(same_bytes(read_all(*out), text));
}

TEST_F(XzArchive, ADamagedEndLeavesTheSizeUnknownUntilOpened) {
  std::string xz = xz_tool(sample_text(1000), "");
  std::string archive = host.put("cut.xz", xz.substr(0, xz.size() - 1));
  EXPECT_EQ(xz_fs.get_member_stats(archive.c_str(), "cut", no_abort).size, unknown_size);
  file_ptr out;
  EXPECT_THROW_EXACT(xz_fs.open_member(out, archive.c_str(), "cut", no_abort),
                     exception_io_data_truncation, "Unsupported format or corrupted file");
  EXPECT_TRUE(out.is_empty());
}
