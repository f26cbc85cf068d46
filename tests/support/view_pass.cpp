#include "tests/support/view_pass.h"

#include <gtest/gtest.h>

#include <exception>
#include <typeinfo>

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
