#include "formats/gzip/gzip_inflater.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "formats/gzip/gzip_archive.h"
#include "formats/gzip/gzip_view.h"
#include "io/file_buffer.h"
#include "tests/support/gzip_data.h"
#include "tests/support/sample_files.h"
#include "tests/support/string_file.h"
#include "tests/support/test_host.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

outcome whole_file(const std::string& gz) {
  return decode_whole(gzip_inflate_into, gz);
}

std::string text_of(size_t n) {
  std::string s;
  for (uint32_t i = 0; s.size() < n; ++i)
    s += "entry " + std::to_string(i * 2654435761u % 99991u) + ";";
  s.resize(n);
  return s;
}

}  // namespace

// zlib judges every block, whatever ISA-L would make of it: ISA-L accepts
// incomplete Huffman codes, zlib refuses them; both refuse bad symbols and
// distances, and then zlib's verdict is reached by zlib itself.
TEST(GzipInflater, VerdictsAreZlibsOnBlocksNoCompressorWrites) {
  // Literals: 'A' (1 bit), end of block and length 3 (2 bits each).
  std::vector<int> literals(258, 0);
  literals[65] = 1;
  literals[256] = 2;
  literals[257] = 2;
  std::vector<uint32_t> codes = deflate_writer::canonical_codes(literals);
  // "A", then a copy of 3 from distance 1: "AAAA".
  auto a_then_copy = [&](deflate_writer& w, uint32_t distance_code, int distance_bits) {
    w.code(codes[65], 1);
    w.code(codes[257], 2);
    w.code(distance_code, distance_bits);
    w.code(codes[256], 2);
  };
  struct crafted_case {
    const char* what;
    std::string deflate;
    std::string content;  // what the trailer is made to match
  };
  std::vector<crafted_case> cases;
  {
    deflate_writer w;  // zlib's one exception: a single distance code of 1 bit
    w.bits(1, 1), w.bits(2, 2), w.dynamic_header(literals, {1});
    a_then_copy(w, 0, 1);
    cases.push_back({"a lone distance code", w.data(), "AAAA"});
  }
  {
    deflate_writer w;  // ... whose unused code is then met
    w.bits(1, 1), w.bits(2, 2), w.dynamic_header(literals, {1});
    a_then_copy(w, 1, 1);
    cases.push_back({"the lone distance code's unused half", w.data(), "AAAA"});
  }
  {
    deflate_writer w;
    std::vector<int> incomplete(257, 0);
    incomplete[65] = 2;
    incomplete[256] = 2;
    w.bits(1, 1), w.bits(2, 2), w.dynamic_header(incomplete, {0});
    std::vector<uint32_t> c = deflate_writer::canonical_codes(incomplete);
    w.code(c[65], 2), w.code(c[256], 2);
    cases.push_back({"an incomplete literal/length code", w.data(), "A"});
  }
  {
    deflate_writer w;
    w.bits(1, 1), w.bits(2, 2), w.dynamic_header(literals, {2, 2});
    a_then_copy(w, 0, 2);
    cases.push_back({"an incomplete distance code", w.data(), "AAAA"});
  }
  {
    deflate_writer w;  // code lengths 0, 1 and 2 only, 2 bits each
    w.bits(1, 1), w.bits(2, 2), w.dynamic_header(literals, {1}, {2, 2, 2});
    a_then_copy(w, 0, 1);
    cases.push_back({"an incomplete code-length code", w.data(), "AAAA"});
  }
  // After 1.5 MiB of good blocks, so that bytes were delivered before.
  std::string text = text_of(3 << 19);
  std::string prefix = deflate_blocks(text);
  {
    deflate_writer w;
    w.bits(1, 1), w.bits(1, 2), w.fixed_symbol('x'), w.fixed_symbol(286), w.fixed_symbol(256);
    cases.push_back({"literal/length 286 in a fixed block", prefix + w.data(), text + "x"});
  }
  {
    deflate_writer w;  // length 3 from 24577 back or more: before the start
    w.bits(1, 1), w.bits(1, 2), w.fixed_symbol(257), w.code(29, 5), w.bits(0, 13);
    w.fixed_symbol(256);
    std::string short_text = text.substr(0, 20000);
    cases.push_back(
        {"a distance too far back", deflate_blocks(short_text) + w.data(), short_text + "ent"});
  }
  {
    deflate_writer w;
    w.bits(1, 1), w.bits(1, 2), w.fixed_symbol('!'), w.fixed_symbol(256);
    cases.push_back({"good blocks then a fixed one", prefix + w.data(), text + "!"});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string gz = gzip_wrap(c.deflate, c.content);
    std::string reference;
    bool zlib_accepts = gzip_reference_inflate(gz, reference);
    outcome ours = whole_file(gz);
    EXPECT_EQ(ours.ok, zlib_accepts) << ours.error;
    if (zlib_accepts) {
      EXPECT_TRUE(ours.content == reference);
    } else {
      EXPECT_EQ(ours.error, error_record(typeid(exception_io_data).name(), " corrupt file"));
    }
  }
}

namespace {

// Whole-file decoding through ISA-L gives zlib's bytes or zlib's refusal. A
// file whose announced size is refused is compared through a view pass,
// which does not read the announcement.
void expect_as_zlib_gives(const std::string& gz) {
  const std::string refused_size = error_record(typeid(exception_io_data).name(),
                                                " unsupported file feature; gzip larger than 2GB");
  std::string reference;
  bool zlib_accepts = gzip_reference_inflate(gz, reference);
  outcome ours = whole_file(gz);
  if (!ours.ok && ours.error == refused_size) {
    ours = run_view_pass(gzip_view_format(), memory_file(gz), nullptr);
  }
  EXPECT_EQ(ours.ok, zlib_accepts) << ours.error;
  if (zlib_accepts) {
    EXPECT_TRUE(ours.content == reference);
  } else {
    const char* text = gz.size() < 18 ? "Not GZIP data" : " corrupt file";
    EXPECT_EQ(ours.error, error_record(typeid(exception_io_data).name(), text));
  }
}

}  // namespace

TEST(GzipInflater, TestDataFilesAsZlibGivesThem) {
  std::vector<std::filesystem::path> files = files_starting_with(TESTDATA_DIR, "\x1f\x8b");
  EXPECT_GT(files.size(), 10u);
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    expect_as_zlib_gives(read_file(path));
  }
}

TEST(GzipInflater, CorpusFilesAsZlibGivesThem) {
  if (!std::filesystem::is_directory(fetched_corpus())) {
    GTEST_SKIP() << "no corpus at " << fetched_corpus();
  }
  std::vector<std::filesystem::path> files = files_starting_with(fetched_corpus(), "\x1f\x8b");
  EXPECT_FALSE(files.empty());
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    expect_as_zlib_gives(read_file(path));
  }
}

// ISA-L writes a few bytes ahead of its output; inflating into an in-memory
// file in place leaves the file's own bytes past the content as they were.
TEST(GzipInflater, InflatingInPlaceKeepsTheBytesPastTheContent) {
  std::string text = text_of(300000);
  for (const gzip_tail_case& c : gzip_tail_cases(text)) {
    SCOPED_TRACE(c.what);
    std::string old_content = "head" + std::string(c.content.size() + 5000, '#');
    file_ptr out = memory_file(old_content);
    out->seek(4, no_abort);
    gzip_inflate_into(memory_file(c.gz), no_abort, out);
    out->reopen(no_abort);
    std::string expected = old_content;
    expected.replace(4, c.content.size(), c.content);
    EXPECT_TRUE(read_all(*out) == expected);
  }
}
