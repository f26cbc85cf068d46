// The segment pass: content decoded between known checkpoints on worker
// threads gives exactly the bytes and failures of one sequential pass, in
// order, and never serves a segment whose start decoding has not confirmed.
#include "archive/segment_pass.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/plus_one_format.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;

namespace {

// Forgets what it is given: the checkpoints past the last known one.
class null_sink : public checkpoint_sink {
 public:
  void add_checkpoint(view_checkpoint&&) override {}
};

struct SegmentPass : testing::Test {
  plus_one_format format;
  null_sink sink;
  abort_callback_dummy abort;

  file_ptr file_of(const std::string& bytes) {
    file_ptr f = make_file_buffer(0, 7);
    f->write(bytes.data(), static_cast<uint32_t>(bytes.size()), abort);
    return f;
  }

  // An entry that knows the checkpoints one sequential pass records.
  std::shared_ptr<content_entry> indexed(const file_ptr& source) {
    auto entry = std::make_shared<content_entry>();
    std::unique_ptr<view_pass> pass = format.start(source, nullptr, *entry, abort);
    std::string scratch(1 << 20, '\0');
    while (pass->decode(reinterpret_cast<uint8_t*>(scratch.data()), scratch.size(), abort) ==
           scratch.size()) {
    }
    return entry;
  }

  // Everything `pass` gives, in calls of `piece` bytes, and how it ended.
  static outcome drain(view_pass& pass, size_t piece, abort_callback& abort) {
    return outcome_of([&](std::string& out) {
      std::string buffer(piece, '\0');
      for (;;) {
        size_t n = pass.decode(reinterpret_cast<uint8_t*>(buffer.data()), piece, abort);
        out.append(buffer, 0, n);
        if (n < piece) break;
      }
    });
  }
};

}  // namespace

TEST_F(SegmentPass, GivesTheBytesOfOneSequentialPassInOrder) {
  const std::string data = clean_data(40 << 20);
  const std::string expected = plus_one(data);
  file_ptr source = file_of(data);
  auto entry = indexed(source);
  for (size_t piece : {size_t{4099}, size_t{3} << 20}) {
    for (uint64_t from : {uint64_t{0}, uint64_t{5} * plus_one_format::spacing}) {
      SCOPED_TRACE(std::to_string(piece) + " from " + std::to_string(from));
      view_checkpoint start{from, plus_one_format::state_at(from)};
      std::unique_ptr<view_pass> pass = start_segment_pass(
          format, source, entry, from == 0 ? nullptr : &start, sink, 3, abort);
      ASSERT_NE(pass, nullptr);
      outcome o = drain(*pass, piece, abort);
      EXPECT_TRUE(o.ok) << o.error;
      EXPECT_TRUE(o.content == expected.substr(from)) << o.content.size();
    }
  }
  // Too few checkpoints ahead for two segments: no segment pass.
  view_checkpoint late{36u << 20, plus_one_format::state_at(36u << 20)};
  EXPECT_EQ(start_segment_pass(format, source, entry, &late, sink, 3, abort), nullptr);
}

// A checkpoint that decoding disagrees with is never a segment's start:
// the bytes stay those of a sequential pass, and the entry forgets its
// index.
TEST_F(SegmentPass, ACheckpointThatDecodingDisagreesWithIsNotUsed) {
  const std::string data = clean_data(40 << 20);
  const std::string expected = plus_one(data);
  file_ptr source = file_of(data);
  auto entry = std::make_shared<content_entry>();
  for (uint64_t at = plus_one_format::spacing; at < data.size(); at += plus_one_format::spacing) {
    // Every checkpoint from 17 MiB on carries a tag decoding never gives.
    entry->add_checkpoint({at, plus_one_format::state_at(at, at >= (17u << 20) ? 1 : 0)});
  }
  std::unique_ptr<view_pass> pass = start_segment_pass(format, source, entry, nullptr, sink, 3, abort);
  ASSERT_NE(pass, nullptr);
  outcome o = drain(*pass, 1 << 20, abort);
  EXPECT_TRUE(o.ok) << o.error;
  EXPECT_TRUE(o.content == expected);
  EXPECT_LT(entry->checkpoint_count(), 100u) << "the index should have been forgotten";
}

// Damage in a later segment fails the pass where a sequential pass fails,
// with its exception, after every byte before it.
TEST_F(SegmentPass, DamageFailsWhereItLiesAfterTheBytesBeforeIt) {
  std::string data = clean_data(40 << 20);
  const uint64_t damage = (25u << 20) + 12345;
  file_ptr good = file_of(data);
  auto entry = indexed(good);
  data[damage] = static_cast<char>(0xFF);
  const std::string expected = plus_one(data);
  file_ptr source = file_of(data);
  std::unique_ptr<view_pass> pass = start_segment_pass(format, source, entry, nullptr, sink, 3, abort);
  ASSERT_NE(pass, nullptr);
  outcome o = drain(*pass, 4096, abort);
  ASSERT_FALSE(o.ok);
  EXPECT_EQ(o.error, error_record(typeid(exception_io_data).name(), "bad byte"));
  EXPECT_EQ(o.content.size(), damage / 4096 * 4096);
  EXPECT_TRUE(o.content == expected.substr(0, o.content.size()));
}

// The caller's abort ends a read while segments are being decoded, and the
// pass then goes away without waiting for them to finish.
TEST_F(SegmentPass, TheUsersAbortStopsItAndItsWorkers) {
  const std::string data = clean_data(40 << 20);
  file_ptr source = file_of(data);
  auto entry = indexed(source);
  abort_callback_impl stop;
  std::unique_ptr<view_pass> pass = start_segment_pass(format, source, entry, nullptr, sink, 3, stop);
  ASSERT_NE(pass, nullptr);
  std::string buffer(1 << 20, '\0');
  pass->decode(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size(), stop);
  stop.abort();
  EXPECT_THROW_EXACT(
      for (;;) pass->decode(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size(), stop),
      exception_aborted, "User abort");
  pass.reset();
}
