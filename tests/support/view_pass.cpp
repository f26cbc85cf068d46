#include "tests/support/view_pass.h"

#include <gtest/gtest.h>

#include <exception>
#include <typeinfo>

#include "io/file_buffer.h"
#include "tests/support/string_file.h"
#include "tests/support/test_host.h"
#include "tests/support/tool_run.h"

using namespace sonovale_io;

std::string error_record(const char* type_name, const char* message) {
  return std::string(type_name) + ": " + message;
}

outcome outcome_of(const std::function<void(std::string&)>& produce) {
  outcome result;
  try {
    produce(result.content);
  } catch (const std::exception& e) {
    result.ok = false;
    result.error = error_record(typeid(e).name(), e.what());
  }
  return result;
}

outcome decode_whole(decode_whole_fn decode, const std::string& compressed) {
  return outcome_of([&](std::string& content) {
    abort_callback_dummy abort;
    file_ptr out = make_file_buffer(0, 0);
    decode(memory_file(compressed), abort, out);
    out->reopen(abort);
    content = read_all(*out);
  });
}

namespace {

class collecting_sink : public checkpoint_sink {
 public:
  explicit collecting_sink(std::vector<view_checkpoint>& into) : into_(into) {}
  void add_checkpoint(view_checkpoint&& checkpoint) override {
    into_.push_back(std::move(checkpoint));
  }

 private:
  std::vector<view_checkpoint>& into_;
};

}  // namespace

pass_run run_view_pass(view_format& format, const file_ptr& source, const view_checkpoint* from,
                       size_t piece, abort_callback* abort) {
  abort_callback_dummy never;
  abort_callback& polled = abort != nullptr ? *abort : never;
  pass_run run;
  collecting_sink sink(run.checkpoints);
  static_cast<outcome&>(run) = outcome_of([&](std::string& content) {
    std::unique_ptr<view_pass> pass = format.start(source, from, sink, polled);
    std::string buffer(piece, '\0');
    for (;;) {
      size_t got = pass->decode(reinterpret_cast<uint8_t*>(buffer.data()), piece, polled);
      content.append(buffer, 0, got);
      if (got < piece) break;
    }
    // The end, once reached, stays the end.
    EXPECT_EQ(pass->decode(reinterpret_cast<uint8_t*>(buffer.data()), piece, polled), 0u);
  });
  return run;
}

void expect_every_road(const std::string& compressed, const outcome& expected,
                       const std::vector<whole_decoding>& whole, view_format& format,
                       bool resumed_passes_report_the_rest) {
  for (const whole_decoding& w : whole) {
    SCOPED_TRACE(w.name);
    outcome got = w.run(compressed);
    EXPECT_EQ(got.verdict(), expected.verdict());
    if (expected.ok) {
      EXPECT_TRUE(same_bytes(got.content, expected.content));
    }
  }
  file_ptr source = memory_file(compressed);
  pass_run from_start = run_view_pass(format, source, nullptr, 65536);
  EXPECT_EQ(from_start.verdict(), expected.verdict());
  EXPECT_TRUE(
      same_bytes(from_start.content, expected.content.substr(0, from_start.content.size())));
  if (expected.ok) {
    EXPECT_TRUE(same_bytes(from_start.content, expected.content));
  }
  for (size_t i = 0; i < from_start.checkpoints.size(); ++i) {
    const view_checkpoint& c = from_start.checkpoints[i];
    SCOPED_TRACE("from " + std::to_string(c.output_position));
    pass_run resumed = run_view_pass(format, source, &c, 4096);
    EXPECT_EQ(resumed.verdict(), expected.verdict());
    if (resumed_passes_report_the_rest) {
      EXPECT_EQ(resumed.checkpoints.size(), from_start.checkpoints.size() - i - 1);
    }
    if (expected.ok) {
      EXPECT_TRUE(same_bytes(resumed.content, expected.content.substr(c.output_position)));
    }
  }
}
