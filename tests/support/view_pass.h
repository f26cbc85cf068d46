// Running operations that give content to their end in tests: what they
// gave and how they ended (the exception's exact class and message), so that
// two roads to the same content can be compared whole. Also a decoded-view
// pass run to its end, with the checkpoints it passed, and the check that
// every road to a compressed file's content ends alike.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

#include "archive/single_member.h"
#include "archive/view_format.h"

struct outcome {
  std::string content;  // all of it, or what was given before the failure
  bool ok = true;
  std::string error;  // when !ok: the exception's type name, ": ", its message

  // The verdict alone: "ok" or the error.
  std::string verdict() const { return ok ? "ok" : error; }
};

// The record for an exception of `type_name` with `message`, as outcome
// keeps it; `type_name` is typeid(...).name().
std::string error_record(const char* type_name, const char* message);

// How `statement` ended: "success", or the record of the exception it
// threw (error_record). Every exception derived from std::exception is
// caught.
template <typename F>
std::string ending_of(F statement) {
  try {
    statement();
  } catch (const std::exception& e) {
    return error_record(typeid(e).name(), e.what());
  }
  return "success";
}

// Runs `produce`, which appends to the string it is given, and records how
// it ended. Every exception derived from std::exception is recorded.
outcome outcome_of(const std::function<void(std::string&)>& produce);

// What the whole-file decoding `decode` (archive/single_member.h) makes of
// `compressed`, decoded into a new in-memory file.
outcome decode_whole(sonovale_io::decode_whole_fn decode, const std::string& compressed);

struct pass_run : outcome {
  std::vector<sonovale_io::view_checkpoint> checkpoints;
};

// A pass of `format` over `source` from `from` (null: the start), decoded to
// its end in calls of `piece` bytes (the first call that gives fewer is the
// end; one more call must then give nothing). `abort` defaults to one that
// is never set.
pass_run run_view_pass(sonovale_io::view_format& format, const sonovale_io::file_ptr& source,
                       const sonovale_io::view_checkpoint* from, size_t piece = size_t{1} << 20,
                       abort_callback* abort = nullptr);

// A way to decode a compressed file whole, named for the failure messages.
struct whole_decoding {
  std::string name;
  std::function<outcome(const std::string& compressed)> run;
};

// Every road to the content of `compressed` ends as `expected` does: each
// of the `whole` decodings, a pass of `format` from the start (in pieces of
// 64 KiB; what it gave before a failure is the start of the expected
// content), and passes from each checkpoint that pass reported (in pieces
// of 4096), which give the rest of the content. With
// `resumed_passes_report_the_rest`, a pass from the i-th checkpoint
// reports exactly the checkpoints after it.
void expect_every_road(const std::string& compressed, const outcome& expected,
                       const std::vector<whole_decoding>& whole, sonovale_io::view_format& format,
                       bool resumed_passes_report_the_rest);
