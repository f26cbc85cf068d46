#include "formats/gzip/gzip_view.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/gzip/gzip_archive.h"
#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/faulty_file.h"
#include "tests/support/gzip_data.h"
#include "tests/support/sample_files.h"
#include "tests/support/string_file.h"
#include "tests/support/test_host.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;
namespace fs = std::filesystem;

namespace {

abort_callback_dummy no_abort;

constexpr uint64_t mib = 1 << 20;
const char corrupt[] = " corrupt file";
const std::string corrupt_record = error_record(typeid(exception_io_data).name(), corrupt);

// Words picked by a fixed generator: compresses like text, cheap to make.
std::string word_text(size_t n, uint32_t seed) {
  static const char* const words[] = {"tar ",    "gzip ",   "member ", "view ",    "block ",
                                      "window ", "check\n", "point, ", "deflate ", "a "};
  std::string s;
  s.reserve(n + 16);
  while (s.size() < n) {
    seed = seed * 1103515245u + 12345u;
    s += words[(seed >> 16) % 10];
  }
  s.resize(n);
  return s;
}

// What gzip_inflate_into makes of `gz`.
outcome whole_file(const std::string& gz) {
  return decode_whole(gzip_inflate_into, gz);
}

// What a view pass from the start must give: the whole-file result, except
// that the size the trailer announces is never refused.
outcome expected_view(const std::string& gz) {
  outcome whole = whole_file(gz);
  if (whole.ok || whole.error.find("gzip larger than 2GB") == std::string::npos) return whole;
  outcome reference;
  reference.ok = gzip_reference_inflate(gz, reference.content);
  if (!reference.ok) reference.error = corrupt_record;
  return reference;
}

// The input offset a checkpoint resumes at: its state's first 8 bytes.
uint64_t input_offset(const view_checkpoint& checkpoint) {
  uint64_t offset = 0;
  for (int i = 0; i < 8; ++i) offset |= uint64_t{checkpoint.state.at(i)} << (8 * i);
  return offset;
}

// True when `resumed` is `content` from `position` on: all of it, or when
// `whole` is false (both passes failed, each giving what it had before the
// failure), as far as both go.
bool same_from(const std::string& content, uint64_t position, const std::string& resumed,
               bool whole) {
  if (position > content.size()) return !whole;
  size_t n = content.size() - position;
  if (whole) return resumed.size() == n && content.compare(position, n, resumed) == 0;
  n = std::min(n, resumed.size());
  return content.compare(position, n, resumed, 0, n) == 0;
}

// A pass from the start gives exactly what `expected` says; so does a pass
// from each checkpoint it recorded, from that checkpoint's position on, and
// it records the same checkpoints after it. Returns the checkpoints.
std::vector<view_checkpoint> expect_passes_give(gzip_view_engine& engine, const std::string& gz,
                                                const outcome& expected, size_t piece) {
  file_ptr source = memory_file(gz);
  pass_run first = run_view_pass(engine, source, nullptr, piece);
  EXPECT_EQ(first.verdict(), expected.verdict());
  // What whole-file decoding gave before failing is not to be used.
  if (expected.ok) {
    EXPECT_TRUE(first.content == expected.content);
  }
  for (size_t i = 0; i < first.checkpoints.size(); ++i) {
    const view_checkpoint& from = first.checkpoints[i];
    SCOPED_TRACE("from the checkpoint at " + std::to_string(from.output_position));
    pass_run resumed = run_view_pass(engine, source, &from, piece);
    EXPECT_EQ(resumed.verdict(), first.verdict());
    EXPECT_TRUE(same_from(first.content, from.output_position, resumed.content, first.ok));
    EXPECT_EQ(resumed.checkpoints.size(), first.checkpoints.size() - i - 1);
    if (resumed.checkpoints.size() != first.checkpoints.size() - i - 1) continue;
    for (size_t k = 0; k < resumed.checkpoints.size(); ++k) {
      EXPECT_EQ(resumed.checkpoints[k].output_position,
                first.checkpoints[i + 1 + k].output_position);
      EXPECT_TRUE(resumed.checkpoints[k].state == first.checkpoints[i + 1 + k].state);
    }
  }
  return first.checkpoints;
}

// Both engines: the module's, and one with a checkpoint at every block
// boundary that adds output.
void expect_view_matches_whole_file(const std::string& gz) {
  outcome expected = expected_view(gz);
  gzip_view_engine every_boundary(1);
  expect_passes_give(every_boundary, gz, expected, 65536);
  expect_passes_give(static_cast<gzip_view_engine&>(gzip_view_format()), gz, expected, 1 << 20);
}

struct member_layout {
  uint64_t output_end;  // the content position just past the member
  size_t trailer;       // offset of its 8-byte trailer in the file
};

}  // namespace

TEST(GzipView, MadeFilesMatchWholeFileDecoding) {
  std::string text = word_text(200000, 1);
  std::string good = gzip_member(text);
  std::string lying_size = good + "\xff\xff\xff\xff";  // garbage that announces 4 GiB - 1
  deflate_writer bad_symbol;
  bad_symbol.bits(1, 1), bad_symbol.bits(1, 2), bad_symbol.fixed_symbol(286);
  std::string bad_last_block = gzip_wrap(deflate_blocks(text) + bad_symbol.data(), text);
  std::string bad_crc = good;
  bad_crc[bad_crc.size() - 6] ^= 1;
  struct made_case {
    const char* what;
    std::string gz;
  };
  const made_case cases[] = {
      {"stored, fixed and dynamic members, an empty one, padding",
       gzip_member(text.substr(0, 70000), 0) + gzip_member(text, 1, Z_FIXED) + gzip_member("") +
           good + std::string(3000, '\0')},
      {"a trailer announcing 2^32 - 1 is not refused", lying_size},
      {"good blocks, then literal/length 286 in a fixed block", bad_last_block},
      {"wrong CRC-32", bad_crc},
      {"cut in the trailer", good.substr(0, good.size() - 3)},
      {"cut in the deflate data", good.substr(0, good.size() / 2)},
      {"magic then a bad member", good + "\x1f\x8b\x07garbage and more garbage"},
      {"a lone magic byte after a member", good + "\x1f"},
      {"17 bytes", good.substr(0, 17)},
      {"not gzip", std::string(100, 'a')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expect_view_matches_whole_file(c.gz);
  }
  // The deliberate difference from decoding the whole file.
  EXPECT_FALSE(whole_file(lying_size).ok);
  EXPECT_TRUE(expected_view(lying_size).ok);
}

TEST(GzipView, TestDataFilesMatchWholeFileDecoding) {
  std::vector<fs::path> files = files_starting_with(TESTDATA_DIR, "\x1f\x8b");
  EXPECT_GT(files.size(), 10u);
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    expect_view_matches_whole_file(read_file(path));
  }
}

TEST(GzipView, CorpusFilesMatchWholeFileDecoding) {
  if (!fs::is_directory(fetched_corpus())) GTEST_SKIP() << "no corpus at " << fetched_corpus();
  std::vector<fs::path> files = files_starting_with(fetched_corpus(), "\x1f\x8b");
  EXPECT_FALSE(files.empty());
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    expect_view_matches_whole_file(read_file(path));
  }
}

namespace {

// Members of every block kind, `unit` bytes making one of their sizes
// (14, 9, 0, 12, 5), with where each ends.
struct members_file {
  std::string gz;
  std::string content;
  std::vector<member_layout> members;
};

members_file make_members_file(uint64_t unit) {
  members_file f;
  struct part {
    uint64_t units;
    int level;
    int strategy;
  };
  const part parts[] = {{14, 6, Z_DEFAULT_STRATEGY},
                        {9, 0, Z_DEFAULT_STRATEGY},
                        {0, 6, Z_DEFAULT_STRATEGY},
                        {12, 1, Z_FIXED},
                        {5, 9, Z_DEFAULT_STRATEGY}};
  uint32_t seed = 7;
  for (const part& p : parts) {
    std::string text = word_text(p.units * unit, ++seed);
    f.content += text;
    f.gz += gzip_member(text, p.level, p.strategy);
    f.members.push_back({f.content.size(), f.gz.size() - 8});
  }
  f.gz += std::string(512, '\0');
  return f;
}

// Checkpoints every 256 KiB over 2.5 MiB: several in each member.
constexpr uint64_t small_unit = 64 << 10;
gzip_view_engine quarter_mib(256 << 10);

}  // namespace

TEST(GzipView, CheckpointsAbout8MiBApartResumeExactly) {
  members_file f = make_members_file(mib);
  outcome expected = whole_file(f.gz);
  ASSERT_TRUE(expected.ok);
  ASSERT_TRUE(expected.content == f.content);
  std::vector<view_checkpoint> checkpoints = expect_passes_give(
      static_cast<gzip_view_engine&>(gzip_view_format()), f.gz, expected, 3 * mib + 5);
  ASSERT_GE(checkpoints.size(), 4u);
  uint64_t previous = 0;
  for (const auto& c : checkpoints) {
    EXPECT_GE(c.output_position - previous, 8 * mib);
    EXPECT_LE(c.state.size(), 30u + 32768u);
    previous = c.output_position;
  }
}

TEST(GzipView, DamageAfterACheckpointFailsTheResumedPass) {
  members_file f = make_members_file(small_unit);
  pass_run good = run_view_pass(quarter_mib, memory_file(f.gz), nullptr);
  ASSERT_TRUE(good.ok);
  ASSERT_GE(good.checkpoints.size(), 8u);
  size_t last_member = SIZE_MAX;
  for (const auto& from : good.checkpoints) {
    // The first checkpoint in each member.
    size_t member = 0;
    while (f.members[member].output_end <= from.output_position) ++member;
    if (member == last_member) continue;
    last_member = member;
    size_t trailer = f.members[member].trailer;
    ASSERT_LT(input_offset(from), trailer);
    struct damage_case {
      const char* what;
      std::string gz;
    };
    std::string crc = f.gz, length = f.gz, data = f.gz;
    crc[trailer + 1] ^= 0x10;
    length[trailer + 4] ^= 0x01;
    data[trailer - 1] ^= 0x21;  // the member's last deflate byte
    const damage_case cases[] = {
        {"the member's CRC-32", crc},
        {"the member's length", length},
        {"the member's deflate data", data},
        {"the file cut in the member's trailer", f.gz.substr(0, trailer + 5)},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", from " + std::to_string(from.output_position));
      ASSERT_EQ(whole_file(c.gz).verdict(), corrupt_record);
      pass_run first = run_view_pass(quarter_mib, memory_file(c.gz), nullptr);
      EXPECT_EQ(first.verdict(), corrupt_record);
      pass_run resumed = run_view_pass(quarter_mib, memory_file(c.gz), &from);
      EXPECT_EQ(resumed.verdict(), corrupt_record);
      EXPECT_TRUE(same_from(first.content, from.output_position, resumed.content, false));
    }
  }
}

namespace {

// Counts polls; sets itself after `trip_at` of them (0: never).
class counting_abort : public abort_callback {
 public:
  explicit counting_abort(uint64_t trip_at = 0) : trip_at_(trip_at) {}
  bool is_aborting() const override { return ++polls == trip_at_; }
  void* get_abort_event() const override { return nullptr; }
  mutable uint64_t polls = 0;

 private:
  uint64_t trip_at_;
};

}  // namespace

TEST(GzipView, AbortIsPolledEveryMiBAndPassesThrough) {
  std::string gz = gzip_member(std::string(24 * mib, '\0'), 9);
  counting_abort counting;
  pass_run run = run_view_pass(gzip_view_format(), memory_file(gz), nullptr, 32 * mib, &counting);
  ASSERT_TRUE(run.ok);
  EXPECT_GE(counting.polls, 24u);

  const std::string aborted = error_record(typeid(exception_aborted).name(), "User abort");
  for (uint64_t n : {1, 2, 10}) {
    SCOPED_TRACE(n);
    counting_abort tripping(n);
    EXPECT_EQ(
        run_view_pass(gzip_view_format(), memory_file(gz), nullptr, 32 * mib, &tripping).verdict(),
        aborted);
  }
}

TEST(GzipView, HostFailuresAsWholeFileDecodingGivesThem) {
  members_file f = make_members_file(small_unit);
  pass_run good = run_view_pass(quarter_mib, memory_file(f.gz), nullptr);
  ASSERT_FALSE(good.checkpoints.empty());
  const view_checkpoint* resume_points[] = {nullptr, &good.checkpoints[0]};
  struct fault_case {
    const char* what;
    fault_plan plan;
    std::string verdict;
  };
  const fault_case cases[] = {
      {"first read fails",
       {fault_read, 1, fault_kind::io_error},
       error_record(typeid(exception_io_data).name(), " couldn't open file")},
      {"a later read fails",
       {fault_read, 5, fault_kind::io_error},
       error_record(typeid(exception_io_data).name(), " couldn't open file")},
      {"a read aborts",
       {fault_read, 3, fault_kind::abort},
       error_record(typeid(exception_aborted).name(), "User abort")},
  };
  for (const view_checkpoint* from : resume_points) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (from ? ", resumed" : ", from the start"));
      file_ptr source = make_faulty_file(memory_file(f.gz), c.plan);
      EXPECT_EQ(run_view_pass(quarter_mib, source, from).verdict(), c.verdict);
    }
  }
  // Resuming seeks; a file that cannot seek fails as whole-file decoding
  // does when it cannot seek.
  file_ptr unseekable =
      make_faulty_file(memory_file(f.gz), fault_plan{fault_seek, 1, fault_kind::io_error});
  EXPECT_EQ(run_view_pass(quarter_mib, unseekable, &good.checkpoints[0]).verdict(),
            error_record(typeid(exception_io_data).name(), " read/write error"));
}

TEST(GzipView, StatesNotWrittenByTheFormatAreRefused) {
  std::string gz = gzip_member(word_text(200000, 3), 0);
  gzip_view_engine every_boundary(1);
  pass_run run = run_view_pass(every_boundary, memory_file(gz), nullptr);
  ASSERT_FALSE(run.checkpoints.empty());
  view_checkpoint good = run.checkpoints.back();
  view_checkpoint short_state = good, long_window = good, bad_bits = good;
  short_state.state.resize(29);
  long_window.state.resize(30 + 32769);
  bad_bits.state[8] = 8;
  for (const view_checkpoint* c : {&short_state, &long_window, &bad_bits}) {
    EXPECT_EQ(run_view_pass(every_boundary, memory_file(gz), c).verdict(),
              error_record(typeid(exception_io_data).name(), " internal usage bug"));
  }
}

// The buffer decode fills may be the host's own: nothing past the count
// returned changes, though ISA-L writes a few bytes ahead of its output.
TEST(GzipView, NothingPastTheCountIsWritten) {
  // Ends in literals, which ISA-L stores 8 bytes at a time.
  std::string text = word_text(300000, 5);
  for (int i = 0; i < 3000; ++i) text += std::to_string(i * 7919 % 10007) + ",";
  for (const gzip_tail_case& c : gzip_tail_cases(text)) {
    SCOPED_TRACE(c.what);
    std::string buffer(c.content.size() + 5000, '#');
    struct : checkpoint_sink {
      void add_checkpoint(view_checkpoint&&) override {}
    } sink;
    std::unique_ptr<view_pass> pass =
        gzip_view_format().start(memory_file(c.gz), nullptr, sink, no_abort);
    size_t got = pass->decode(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size(), no_abort);
    EXPECT_EQ(got, c.content.size());
    EXPECT_TRUE(buffer == c.content + std::string(5000, '#'));
  }
}
