#include "formats/bzip2/bz2_view.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "abi/service.h"
#include "formats/bzip2/bz2_archive.h"
#include "formats/bzip2/bz2_decoder.h"
#include "tests/support/bz2_data.h"
#include "tests/support/expect_throw.h"
#include "tests/support/faulty_file.h"
#include "tests/support/sample_files.h"
#include "tests/support/string_file.h"
#include "tests/support/tripping_abort.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool under_thread_sanitizer = true;
#elif defined(__has_feature)
constexpr bool under_thread_sanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool under_thread_sanitizer = false;
#endif

class recording_sink : public checkpoint_sink {
 public:
  std::vector<view_checkpoint> checkpoints;
  void add_checkpoint(view_checkpoint&& c) override { checkpoints.push_back(std::move(c)); }
};

// What decoding gave: the bytes, and the exception's class and message, or
// nothing after success.
struct decoded {
  std::string bytes;
  std::string error;
};

// How `statement` ended: empty for success, else ending_of's record.
template <typename F>
std::string error_of(F statement) {
  std::string ending = ending_of(statement);
  return ending == "success" ? "" : ending;
}

decoded whole_file(const std::string& compressed) {
  decoded d;
  abort_callback_dummy abort;
  auto* out = new service_impl_t<string_file>();
  file_ptr holder(out);
  d.error = error_of([&] { bz2_decode_into(memory_file(compressed), abort, holder); });
  d.bytes = out->content;
  return d;
}

// A pass from `from` (null: the start) to the end of the content or its
// exception, asking for `step` bytes at a time, and for one at a time once
// it has `slow_after` bytes.
decoded run_pass(const file_ptr& source, const view_checkpoint* from, recording_sink& sink,
                 abort_callback& abort, size_t step, size_t slow_after = SIZE_MAX) {
  decoded d;
  std::vector<uint8_t> buffer(step);
  d.error = error_of([&] {
    std::unique_ptr<view_pass> pass = bz2_view_format().start(source, from, sink, abort);
    for (;;) {
      size_t ask = d.bytes.size() < slow_after ? std::min(step, slow_after - d.bytes.size()) : 1;
      size_t got = pass->decode(buffer.data(), ask, abort);
      d.bytes.append(reinterpret_cast<const char*>(buffer.data()), got);
      if (got < ask) break;
    }
  });
  return d;
}

// A pass over `compressed` that returns every byte before a failure too.
// The call that throws returns nothing, so a pass that fails runs again,
// byte by byte from where the first one made that call.
decoded run_pass(const std::string& compressed, const view_checkpoint* from, recording_sink& sink,
                 size_t step) {
  abort_callback_dummy abort;
  decoded d = run_pass(memory_file(compressed), from, sink, abort, step);
  if (d.error.empty()) return d;
  recording_sink again;
  return run_pass(memory_file(compressed), from, again, abort, step, d.bytes.size());
}

// A pass from the start gives what bz2_decode_into gives; a pass from each
// checkpoint it reported gives the rest of that, and meets the same
// checkpoints on the way.
void check_passes(const std::string& compressed) {
  decoded expected = whole_file(compressed);
  bool fails = !expected.error.empty();
  recording_sink sink;
  decoded full = run_pass(compressed, nullptr, sink, 70001);
  EXPECT_EQ(full.error, expected.error);
  if (!fails) {
    EXPECT_TRUE(same_bytes(full.bytes, expected.bytes));
  } else {
    // Each delivered some of the content: the pass whole blocks that
    // passed their check, bz2_decode_into whole chunks.
    size_t common = std::min(full.bytes.size(), expected.bytes.size());
    EXPECT_TRUE(same_bytes(full.bytes.substr(0, common), expected.bytes.substr(0, common)));
  }

  const std::vector<view_checkpoint>& all = sink.checkpoints;
  for (size_t i = 0; i < all.size(); ++i) {
    const view_checkpoint& c = all[i];
    SCOPED_TRACE("checkpoint " + std::to_string(i) + " at " + std::to_string(c.output_position));
    if (i > 0) {
      EXPECT_GE(c.output_position, all[i - 1].output_position);
    }
    ASSERT_LE(c.output_position, full.bytes.size());
    recording_sink again;
    decoded rest = run_pass(compressed, &c, again, 4093);
    EXPECT_EQ(rest.error, full.error);
    EXPECT_TRUE(same_bytes(rest.bytes, full.bytes.substr(c.output_position)));
    // The checkpoints it meets are the last ones the full pass met.
    ASSERT_LE(again.checkpoints.size(), all.size() - i);
    EXPECT_GE(again.checkpoints.size(), all.size() - i - 1);
    size_t offset = all.size() - again.checkpoints.size();
    for (size_t k = 0; k < again.checkpoints.size(); ++k) {
      EXPECT_EQ(again.checkpoints[k].output_position, all[offset + k].output_position);
      EXPECT_EQ(again.checkpoints[k].state, all[offset + k].state);
    }
  }
}

// Three streams and trailing bytes: four level-1 blocks, the first 4 MB of
// zeros (more than a pass holds at once), an empty stream, and a level-9
// stream of text.
std::string made_file() {
  static const std::string made =
      bzip2_compress(std::string(4000000, '\0') + random_bytes(250000, 31, 16), 1) +
      bzip2_compress("", 5) + bzip2_compress(runless_text(20000, 32, 20), 9) + "trailing bytes";
  return made;
}

// Passes decode alone, and with workers decoding the blocks ahead.
constexpr unsigned worker_counts[] = {1, 3};

TEST(Bz2View, MadeFileDecodesFromEveryCheckpoint) {
  std::string made = made_file();
  for (unsigned workers : worker_counts) {
    SCOPED_TRACE(workers);
    bz2_workers setting(workers);
    recording_sink sink;
    decoded full = run_pass(made, nullptr, sink, 1 << 20);
    EXPECT_EQ(full.error, "");
    // Blocks of the first stream, the second and third streams' starts and
    // the third stream's block.
    EXPECT_GE(sink.checkpoints.size(), 7u);
    check_passes(made);
  }
}

TEST(Bz2View, TestFilesDecodeFromEveryCheckpoint) {
  std::vector<std::filesystem::path> files = bz2_files_under(TESTDATA_DIR);
  ASSERT_GE(files.size(), 40u);
  for (unsigned workers : worker_counts) {
    SCOPED_TRACE(workers);
    bz2_workers setting(workers);
    for (const auto& path : files) {
      SCOPED_TRACE(path.filename().string());
      check_passes(file_bytes(path));
    }
  }
}

TEST(Bz2View, CorpusDecodesFromEveryCheckpoint) {
  std::filesystem::path root = fetched_corpus();
  std::vector<std::filesystem::path> files = bz2_files_under(root);
  if (files.empty()) GTEST_SKIP() << "no corpus at " << root;
  if (under_thread_sanitizer) GTEST_SKIP() << "no threads here, nothing for ThreadSanitizer";
  // Workers are compared with decoding in sequence on the corpus in
  // bz2_parallel_test.
  bz2_workers setting(1);
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    check_passes(file_bytes(path));
  }
}

TEST(Bz2View, LargeBlockIsCheckedBeforeItsBytes) {
  std::string made = made_file();
  made[10] ^= 1;  // the stored CRC of the first block, 4 MB of zeros
  for (unsigned workers : worker_counts) {
    SCOPED_TRACE(workers);
    bz2_workers setting(workers);
    recording_sink sink;
    decoded full = run_pass(made, nullptr, sink, 1 << 20);
    EXPECT_EQ(full.error, std::string(typeid(exception_io_data).name()) + ": Unknown exception");
    EXPECT_EQ(full.bytes.size(), 0u);
    check_passes(made);
  }
}

TEST(Bz2View, AbortIsPolledEveryMebibyte) {
  // One block of 8 MB: more than a pass holds, so it is expanded twice.
  std::string compressed = bzip2_compress(std::string(8000000, 'z'), 9);
  {
    tripping_abort never;
    recording_sink sink;
    decoded all = run_pass(memory_file(compressed), nullptr, sink, never, 65536);
    EXPECT_EQ(all.error, "");
    EXPECT_EQ(all.bytes.size(), 8000000u);
    EXPECT_GE(never.polls(), 8u);
  }
  for (uint64_t trip : {1u, 4u, 6u, 9u}) {
    SCOPED_TRACE(trip);
    tripping_abort abort(trip);
    fault_log log;
    recording_sink sink;
    decoded cut;
    {
      file_ptr source = make_faulty_file(memory_file(compressed), fault_plan{fault_read, 0}, &log);
      cut = run_pass(source, nullptr, sink, abort, 65536);
    }
    EXPECT_EQ(cut.error, std::string(typeid(exception_aborted).name()) + ": User abort");
    EXPECT_EQ(abort.polls(), trip);
    EXPECT_LE(cut.bytes.size(), trip << 20);
    EXPECT_EQ(log.live_files, 0) << "the source was not released";
  }
}

TEST(Bz2View, ForeignCheckpointIsRefused) {
  std::string compressed = bzip2_compress("some data", 9);
  std::vector<uint8_t> digit_10(14, 0);
  digit_10[0] = 1;  // a block, but of no stream that exists
  digit_10[9] = 10;
  for (const std::vector<uint8_t>& state : {std::vector<uint8_t>{}, std::vector<uint8_t>(14, 0),
                                            std::vector<uint8_t>(9, 7), digit_10}) {
    SCOPED_TRACE(state.size());
    view_checkpoint c{0, state};
    recording_sink sink;
    abort_callback_dummy abort;
    EXPECT_THROW_EXACT(bz2_view_format().start(memory_file(compressed), &c, sink, abort),
                       exception_io_data, "Unsupported format or corrupted file");
  }
}

TEST(Bz2View, RegisteredForItsType) {
  // Referring to the module's registry links its static initialisation.
  ASSERT_NE(factory_list_head(), nullptr);
  EXPECT_STREQ(bz2_view_format().type_name(), "bz2");
  EXPECT_EQ(find_view_format("bz2"), &bz2_view_format());
}

}  // namespace
