// Every file of the bad-input corpus in tests/data (made by
// make_bad_inputs.py, described in its README), with exactly what the
// module makes of it through the host's dispatch: the members and their
// bytes, or the exception class and message.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <typeinfo>
#include <vector>

#include "abi/unpacker.h"
#include "archive/member_path.h"
#include "formats/bzip2/bz2_archive.h"
#include "formats/gzip/gzip_archive.h"
#include "formats/tar/tar_archive.h"
#include "formats/tar/tar_walk.h"
#include "formats/xz/xz_archive.h"
#include "formats/zstd/zstd_archive.h"
#include "tests/support/archive_services.h"
#include "tests/support/member_recorder.h"
#include "tests/support/test_host.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;

namespace {

constexpr char corrupted[] = "Unsupported format or corrupted file";

// The class and message a case ends with; no class means success.
struct failure {
  const std::type_info* type = nullptr;
  const char* message = nullptr;
};
const failure ok;
const failure data_error{&typeid(exception_io_data), corrupted};
const failure truncated{&typeid(exception_io_data_truncation), corrupted};
failure data(const char* message) {
  return {&typeid(exception_io_data), message};
}

std::string describe(const failure& f) {
  if (f.type == nullptr) return "success";
  return std::string(f.type->name()) + ": " + f.message;
}

// Inputs too trivial to keep as files: every empty file, and every bzip2
// stream of nothing, has the same bytes wherever it comes from.
const std::map<std::string, std::string> built_in = {
    {"tar-zero-bytes.tar", ""},
    {"bz2-zero-bytes.bz2", ""},
    {"bz2-empty-stream.bz2", std::string("BZh9\x17\x72\x45\x38\x50\x90\0\0\0\0", 14)},
};

std::string load(const std::string& file) {
  auto found = built_in.find(file);
  if (found != built_in.end()) return found->second;
  std::ifstream in(std::string(TESTDATA_DIR) + "/" + file, std::ios::binary);
  EXPECT_TRUE(in.good()) << file;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string repeat(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

// The contents that make_bad_inputs.py gives its members.
const std::string a_txt = "hello, tar\n";
const std::string alphabet = [] {
  std::string s;
  for (int i = 0; i < 600; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}();
const std::string long_name = "long-" + std::string(110, 'n') + ".txt";
const std::string long_txt = "long name\n";
const std::string text = repeat("The quick brown fox jumps over the lazy dog.\n", 20);
const std::string abracadabra = "abracadabra, abracadabra!\n";
const std::string noise = [] {
  std::string s;
  uint32_t x = 1;
  for (int i = 0; i < 12000; ++i) {
    x = (x * 1103515245u + 12345u) & 0x7FFFFFFF;
    s += static_cast<char>(x >> 16 & 0xFF);
  }
  return s;
}();

using recording_callback = member_recorder;

class BadInput : public ::testing::Test, public module_services {
 protected:
  // Opens the archive's member through the host's dispatch of its path.
  std::string open(archive_impl& owner, const std::string& archive, const std::string& member) {
    plix::string8 path;
    make_member_path(path, owner, archive.c_str(), member.c_str());
    file_ptr out;
    filesystem::g_open(out, path.get_ptr(), open_mode_read, no_abort);
    EXPECT_EQ(out->get_position(no_abort), 0u);
    return read_all(*out);
  }

  std::string unpack(unpacker& u, const std::string& archive) {
    file_ptr source, out;
    filesystem::g_open(source, archive.c_str(), open_mode_read, no_abort);
    u.unpack_file(out, source, no_abort);
    return read_all(*out);
  }

  abort_callback_dummy no_abort;

  // Every road of a compressed format ends as `c` states: the whole content
  // (opening, unpacking, listing with readers), and the size without
  // decoding (statistics, listing without readers).
  template <typename Case>
  void check_compressed(archive_impl& archive, unpacker& unpack_service, const Case& c) {
    std::string path = host.put(c.file, load(c.file));
    file_ptr none;
    std::string opened, unpacked;
    EXPECT_EQ(ending_of([&] { opened = open(archive, path, "any"); }), describe(c.decoding));
    EXPECT_EQ(ending_of([&] { unpacked = unpack(unpack_service, path); }), describe(c.decoding));
    recording_callback contents;
    EXPECT_EQ(ending_of([&] { archive.list_members(path.c_str(), none, contents, true); }),
              describe(c.decoding));
    if (c.decoding.type == nullptr) {
      EXPECT_EQ(opened, c.content);
      EXPECT_EQ(unpacked, c.content);
      ASSERT_EQ(contents.members.size(), 1u);
      EXPECT_EQ(contents.members[0].content, c.content);
      EXPECT_EQ(contents.members[0].stats.size, c.content.size());
    }
    file_stats stats{};
    EXPECT_EQ(ending_of([&] { stats = archive.get_member_stats(path.c_str(), "", no_abort); }),
              describe(c.sizing));
    recording_callback sizes;
    EXPECT_EQ(ending_of([&] { archive.list_members(path.c_str(), none, sizes, false); }),
              describe(c.sizing));
    if (c.sizing.type == nullptr) {
      EXPECT_EQ(stats.size, c.size);
      ASSERT_EQ(sizes.members.size(), 1u);
      EXPECT_EQ(sizes.members[0].stats.size, c.size);
    }
  }
};

// ---------------------------------------------------------------------------
// TAR

struct tar_member {
  std::string name;
  uint64_t size;
  std::string content;
  bool cut;  // its data runs past the end of the archive
};
tar_member whole(const std::string& name, const std::string& content) {
  return {name, content.size(), content, false};
}
tar_member cut(const std::string& name, uint64_t size) {
  return {name, size, "", true};
}

struct tar_case {
  const char* file;
  std::vector<tar_member> members;  // every member the walk reports, in order
  failure ending;                   // how the walk ends
};

const tar_member good_a = whole("a.txt", a_txt);
const tar_member good_alphabet = whole("dir/alphabet.txt", alphabet);
const tar_member good_long = whole(long_name, long_txt);

const tar_case tar_cases[] = {
    {"tar-good.tar", {good_a, good_alphabet, good_long}, ok},
    {"tar-zero-bytes.tar", {}, truncated},
    {"tar-truncated-in-first-header.tar", {}, truncated},
    {"tar-truncated-after-first-header.tar", {cut("a.txt", 11)}, truncated},
    {"tar-truncated-in-member-data.tar", {good_a, cut("dir/alphabet.txt", 600)}, truncated},
    // The file may end where a header would start, after an entry or one end
    // block, but not after a long name whose entry never comes.
    {"tar-truncated-before-next-header.tar", {good_a, good_alphabet}, ok},
    {"tar-truncated-in-long-name.tar", {good_a, good_alphabet}, truncated},
    {"tar-truncated-after-long-name.tar", {good_a, good_alphabet}, truncated},
    {"tar-truncated-before-end-blocks.tar", {good_a, good_alphabet, good_long}, ok},
    {"tar-one-end-block.tar", {good_a, good_alphabet, good_long}, ok},
    {"tar-flip-in-name.tar", {}, data_error},
    {"tar-flip-in-size.tar", {good_a}, data_error},
    {"tar-flip-in-checksum.tar", {good_a}, data_error},
    {"tar-flip-in-type.tar", {}, data_error},
    {"tar-type-changed-to-link.tar", {good_alphabet, good_long}, ok},
    // TAR keeps no checksum of member data: a flipped bit there is read as is.
    {"tar-flip-in-data.tar", {whole("a.txt", "hellO, tar\n"), good_alphabet, good_long}, ok},
    {"tar-flip-in-end-block.tar", {good_a, good_alphabet, good_long}, data_error},
    {"tar-wrong-checksum.tar", {}, data_error},
    {"tar-signed-checksum.tar", {whole("caf\xe9.txt", a_txt)}, ok},
    {"tar-empty-checksum.tar", {}, data_error},
    {"tar-negative-size-base64.tar", {}, data_error},
    {"tar-negative-size-base256.tar", {}, data_error},
    // A size without digits reads as 0: the data block then fails as a header.
    {"tar-size-all-spaces.tar", {whole("sized.txt", "")}, data_error},
    {"tar-size-base256.tar", {whole("sized.txt", a_txt)}, ok},
    {"tar-size-base64.tar", {whole("sized.txt", a_txt)}, ok},
    {"tar-size-leading-nul.tar", {whole("sized.txt", a_txt)}, ok},
    {"tar-size-huge-octal.tar", {cut("sized.txt", 077777777777ull)}, truncated},
    {"tar-size-huge-base256.tar", {cut("sized.txt", 1ull << 62)}, truncated},
    {"tar-size-largest-positive.tar", {cut("sized.txt", INT64_MAX)}, truncated},
    {"tar-size-4-gib-minus-2.tar", {cut("big", 0xFFFFFFFEull)}, truncated},
    {"tar-size-garbage.tar", {whole("sized.txt", "")}, ok},
    {"tar-long-name-never-ends.tar", {}, truncated},
    {"tar-long-name-4-gib.tar", {}, data_error},
    {"tar-long-name-without-nul.tar", {whole("unterminated", a_txt)}, ok},
    {"tar-long-name-then-end.tar", {}, ok},
    {"tar-long-name-before-directory.tar", {whole("plain.txt", a_txt)}, ok},
    // A malformed pax set is ignored; the walk fails at the end blocks.
    {"tar-pax-record-without-newline.tar", {whole("plain.txt", a_txt)}, data_error},
    {"tar-duplicate-names.tar", {whole("same.txt", "first\n"), whole("same.txt", "second\n")}, ok},
    {"tar-zero-block-between.tar", {whole("one.txt", "1\n"), whole("two.txt", "2\n")}, ok},
    {"tar-concatenated.tar", {good_a, good_alphabet, good_long}, ok},
    {"tar-trailing-garbage.tar", {whole("one.txt", "1\n")}, ok},
    {"tar-empty-1024-zeros.tar", {}, ok},
};

TEST_F(BadInput, TarFiles) {
  for (const tar_case& c : tar_cases) {
    SCOPED_TRACE(c.file);
    std::string archive = host.put(c.file, load(c.file));
    file_ptr none;

    // Without readers the walk reports every member and ends as stated.
    recording_callback names;
    EXPECT_EQ(ending_of([&] { tar.list_members(archive.c_str(), none, names, false); }),
              describe(c.ending));
    ASSERT_EQ(names.members.size(), c.members.size());
    for (size_t i = 0; i < c.members.size(); ++i) {
      plix::string8 path;
      make_member_path(path, tar, archive.c_str(), c.members[i].name.c_str());
      EXPECT_EQ(names.members[i].path, path.get_ptr());
      EXPECT_EQ(names.members[i].stats.size, c.members[i].size);
    }

    // With readers it stops at the first member whose data is cut short.
    size_t supplied = 0;
    while (supplied < c.members.size() && !c.members[supplied].cut) ++supplied;
    recording_callback contents;
    EXPECT_EQ(ending_of([&] { tar.list_members(archive.c_str(), none, contents, true); }),
              describe(supplied < c.members.size() ? truncated : c.ending));
    ASSERT_EQ(contents.members.size(), supplied);
    for (size_t i = 0; i < supplied; ++i)
      EXPECT_EQ(contents.members[i].content, c.members[i].content);

    // Opening a name gives its first member.
    for (size_t i = 0; i < c.members.size(); ++i) {
      const tar_member& m = c.members[i];
      bool first = true;
      for (size_t j = 0; j < i; ++j) first = first && c.members[j].name != m.name;
      if (!first) continue;
      if (m.cut) {
        EXPECT_EQ(ending_of([&] { open(tar, archive, m.name); }), describe(truncated));
      } else {
        EXPECT_EQ(open(tar, archive, m.name), m.content);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// gzip

// A file of a compressed format and how each road to it ends.
struct compressed_case {
  const char* file;
  std::string content;  // when `decoding` is ok
  failure decoding;     // opening, unpacking and listing with readers
  uint64_t size;        // when `sizing` is ok: the gzip trailer's announcement, the xz
                        // index's size, the zstd frames' declared sizes
  failure sizing;       // statistics and listing without readers
};

const failure not_gzip = data("Not GZIP data");
const failure corrupt_file = data(" corrupt file");
const failure too_large = data(" unsupported file feature; gzip larger than 2GB");

const compressed_case gz_cases[] = {
    {"gz-good.gz", text, ok, 900, ok},
    {"gz-empty-content.gz", "", ok, 0, ok},
    {"gz-several-reads.gz", noise, ok, 12000, ok},
    {"gz-17-bytes.gz", "", not_gzip, 0, not_gzip},
    {"gz-not-gzip.gz", "", not_gzip, 0, not_gzip},
    {"gz-truncated-in-header.gz", "", not_gzip, 0, not_gzip},
    // Cut short, the last four bytes are no size: whatever they read as.
    {"gz-truncated-in-body.gz", "", corrupt_file, 1353698120, ok},
    {"gz-truncated-in-trailer.gz", "", corrupt_file, 1456475589, ok},  // the CRC-32
    {"gz-flip-in-method.gz", "", corrupt_file, 900, ok},
    {"gz-flip-in-flags.gz", "", corrupt_file, 900, ok},
    {"gz-flip-in-body.gz", "", corrupt_file, 900, ok},
    {"gz-flip-in-crc.gz", "", corrupt_file, 900, ok},
    // The announcement is believed without inflating; inflating checks it.
    {"gz-isize-smaller.gz", "", corrupt_file, 800, ok},
    {"gz-isize-top-bit.gz", "", too_large, 0, too_large},
    {"gz-isize-2gb-minus-1.gz", "", corrupt_file, 0x7FFFFFFF, ok},
    {"gz-header-crc-wrong.gz", "", corrupt_file, 11, ok},
    {"gz-all-header-fields.gz", a_txt, ok, 11, ok},
    // Members are all inflated; the announcement is the last member's.
    {"gz-two-members.gz", "first\nsecond\n", ok, 7, ok},
    {"gz-trailing-zeros.gz", text, ok, 0, ok},
    {"gz-trailing-garbage.gz", text, ok, 0x21656761, ok},  // "age!"
    {"gz-member-then-bad-member.gz", "", corrupt_file, 0, ok},
    {"gz-member-then-cut-member.gz", "", too_large, 0, too_large},
};

TEST_F(BadInput, GzipFiles) {
  for (const compressed_case& c : gz_cases) {
    SCOPED_TRACE(c.file);
    check_compressed(gz, gz_unpacker, c);
  }
}

// ---------------------------------------------------------------------------
// bzip2

struct bz2_case {
  const char* file;
  std::string content;
  failure ending;
};

const failure not_bzip2 = data("Not BZIP2 data");
const failure bz2_data_error = data("Data error");
const failure obsolete = data("Obsolete input");
const failure crc_mismatch = data("Unknown exception");

const bz2_case bz2_cases[] = {
    {"bz2-good.bz2", text, ok},
    {"bz2-empty-stream.bz2", "", ok},
    {"bz2-several-reads.bz2", noise, ok},
    {"bz2-zero-bytes.bz2", "", truncated},
    {"bz2-not-bzip2.bz2", "", not_bzip2},
    {"bz2-header-digit-0.bz2", "", not_bzip2},
    {"bz2-header-digit-colon.bz2", "", not_bzip2},
    {"bz2-truncated-in-header.bz2", "", truncated},
    {"bz2-truncated-in-block-magic.bz2", "", truncated},
    {"bz2-truncated-in-block.bz2", "", truncated},
    {"bz2-truncated-in-stream-crc.bz2", "", truncated},
    {"bz2-flip-in-block-magic.bz2", "", not_bzip2},
    {"bz2-flip-in-end-magic.bz2", "", not_bzip2},
    {"bz2-flip-in-block-crc.bz2", "", crc_mismatch},
    {"bz2-flip-in-stream-crc.bz2", "", crc_mismatch},
    {"bz2-flip-in-body.bz2", "", crc_mismatch},
    {"bz2-randomised-block.bz2", "", obsolete},
    {"bz2-written-good.bz2", abracadabra, ok},
    {"bz2-written-two-blocks.bz2", abracadabra + "second block\n", ok},
    {"bz2-origin-above-capacity.bz2", "", bz2_data_error},
    {"bz2-groups-1.bz2", "", bz2_data_error},
    {"bz2-groups-7.bz2", "", bz2_data_error},
    {"bz2-selectors-0.bz2", "", bz2_data_error},
    {"bz2-selector-not-below-groups.bz2", "", bz2_data_error},
    {"bz2-code-length-0.bz2", "", bz2_data_error},
    {"bz2-code-length-21.bz2", "", bz2_data_error},
    {"bz2-code-length-start-0.bz2", "", bz2_data_error},
    {"bz2-selectors-exhausted.bz2", "", bz2_data_error},
    {"bz2-code-not-in-table.bz2", "", bz2_data_error},
    {"bz2-origin-not-below-entries.bz2", "", bz2_data_error},
    // A run may fill a block exactly; one more entry is refused.
    {"bz2-run-fills-block.bz2", std::string(80000, '\0'), ok},
    {"bz2-run-past-capacity.bz2", "", bz2_data_error},
    {"bz2-literal-when-full.bz2", "", bz2_data_error},
    {"bz2-literal-fills-block.bz2", std::string(80000, '\0'), ok},
    {"bz2-empty-block.bz2", abracadabra, ok},
    {"bz2-no-bytes-declared.bz2", "", bz2_data_error},
    {"bz2-second-block-crc-wrong.bz2", "", crc_mismatch},
    {"bz2-stream-crc-wrong.bz2", "", crc_mismatch},
    {"bz2-two-streams.bz2", text + "second stream\n", ok},
    {"bz2-trailing-garbage.bz2", text, ok},
    {"bz2-trailing-zeros.bz2", text, ok},
    {"bz2-trailing-header-digit-0.bz2", text, ok},
    {"bz2-second-stream-truncated.bz2", "", truncated},
    {"bz2-second-stream-not-bzip2.bz2", "", not_bzip2},
};

TEST_F(BadInput, Bzip2Files) {
  for (const bz2_case& c : bz2_cases) {
    SCOPED_TRACE(c.file);
    std::string archive = host.put(c.file, load(c.file));
    std::string opened, unpacked;
    file_stats stats{};
    EXPECT_EQ(ending_of([&] { opened = open(bz2, archive, "any"); }), describe(c.ending));
    EXPECT_EQ(ending_of([&] { unpacked = unpack(bz2_unpacker, archive); }), describe(c.ending));
    EXPECT_EQ(ending_of([&] { stats = bz2.get_member_stats(archive.c_str(), "", no_abort); }),
              describe(c.ending));
    if (c.ending.type == nullptr) {
      EXPECT_EQ(opened, c.content);
      EXPECT_EQ(unpacked, c.content);
      EXPECT_EQ(stats.size, c.content.size());
    }
  }
}

// ---------------------------------------------------------------------------
// xz and zstd

const failure not_xz = data("Not XZ data");
const failure corrupt_xz = data("Corrupt XZ data");
const std::string two_streams = text + "second stream\n";

const compressed_case xz_cases[] = {
    {"xz-good.xz", text, ok, 900, ok},
    {"xz-several-reads.xz", noise, ok, 12000, ok},
    {"xz-sha256.xz", text, ok, 900, ok},
    {"xz-not-xz.xz", "", not_xz, 0, not_xz},
    {"xz-truncated-in-magic.xz", "", truncated, 0, truncated},
    // The index is read from the end: a file cut short has no known size.
    {"xz-truncated-in-block.xz", "", truncated, unknown_size, ok},
    {"xz-truncated-in-footer.xz", "", truncated, unknown_size, ok},
    {"xz-flip-in-body.xz", "", corrupt_xz, 900, ok},
    {"xz-flip-in-check.xz", "", corrupt_xz, 900, ok},
    {"xz-flip-in-index.xz", "", corrupt_xz, unknown_size, ok},
    {"xz-two-streams.xz", two_streams, ok, two_streams.size(), ok},
    {"xz-padded.xz", two_streams, ok, two_streams.size(), ok},
    // After a stream, the file ends or another stream starts: as `xz -dc`
    // reads them, 8 bytes of garbage are a stream header cut short.
    {"xz-trailing-garbage.xz", "", truncated, unknown_size, ok},
    {"xz-second-stream-truncated.xz", "", truncated, unknown_size, ok},
};

const failure not_zstd = data("Not ZSTD data");
const failure corrupt_zstd = data("Corrupt ZSTD data");

const compressed_case zst_cases[] = {
    {"zst-good.zst", text, ok, 900, ok},
    {"zst-several-reads.zst", noise, ok, 12000, ok},
    // Written from a pipe: the frame declares no size.
    {"zst-no-size.zst", text, ok, unknown_size, ok},
    {"zst-not-zstd.zst", "", not_zstd, 0, not_zstd},
    {"zst-truncated-in-magic.zst", "", truncated, 0, truncated},
    {"zst-truncated-in-frame.zst", "", truncated, unknown_size, ok},
    {"zst-flip-in-body.zst", "", corrupt_zstd, 900, ok},
    {"zst-flip-in-checksum.zst", "", corrupt_zstd, 900, ok},
    {"zst-two-frames.zst", text + "second frame\n", ok, 913, ok},
    {"zst-skippable-frame.zst", text, ok, 900, ok},
    // After a frame, the file ends or another frame starts, as `zstd -dc` has it.
    {"zst-trailing-garbage.zst", "", corrupt_zstd, unknown_size, ok},
    {"zst-window-too-large.zst", "", data("Unsupported ZSTD feature"), unknown_size, ok},
    {"zst-size-not-declared-size.zst", "", corrupt_zstd, 16777216, ok},
};

TEST_F(BadInput, XzFiles) {
  for (const compressed_case& c : xz_cases) {
    SCOPED_TRACE(c.file);
    check_compressed(xz, xz_unpacker, c);
  }
}

TEST_F(BadInput, ZstdFiles) {
  for (const compressed_case& c : zst_cases) {
    SCOPED_TRACE(c.file);
    check_compressed(zst, zst_unpacker, c);
  }
}

// Every file in the folder has a case above, so none goes untested.
TEST_F(BadInput, EveryCorpusFileHasACase) {
  std::vector<std::string> named;
  for (const auto& c : tar_cases) named.push_back(c.file);
  for (const auto& c : gz_cases) named.push_back(c.file);
  for (const auto& c : bz2_cases) named.push_back(c.file);
  for (const auto& c : xz_cases) named.push_back(c.file);
  for (const auto& c : zst_cases) named.push_back(c.file);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TESTDATA_DIR)) {
    std::string name = entry.path().filename().string();
    std::string extension = entry.path().extension().string();
    if (extension != ".tar" && extension != ".gz" && extension != ".bz2" && extension != ".xz" &&
        extension != ".zst") {
      continue;
    }
    ++files;
    EXPECT_NE(std::find(named.begin(), named.end(), name), named.end()) << name;
  }
  EXPECT_EQ(files + built_in.size(), named.size());
}

}  // namespace
