#include "io/exceptions.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "io/abort.h"
#include "io/error_text.h"
#include "tests/support/expect_throw.h"

using namespace sonovale_io;

namespace {

struct row {
  const char* what;
  std::function<void()> raise;
  const char* message;
  bool is_io;
  bool is_data;
};

}  // namespace

TEST(Exceptions, MessagesAndFamily) {
  const row rows[] = {
      {"bad_alloc", [] { throw plix::bad_alloc(); }, "bad allocation", false, false},
      {"overflow", [] { throw plix::exception_overflow(); }, "Overflow", false, false},
      {"aborted", [] { throw exception_aborted(); }, "User abort", false, false},
      {"data", [] { throw exception_io_data(); }, "Unsupported format or corrupted file", true,
       true},
      {"truncation", [] { throw exception_io_data_truncation(); },
       "Unsupported format or corrupted file", true, true},
      {"not found", [] { throw exception_io_not_found(); }, "Object not found", true, false},
      {"no handler", [] { throw exception_io_no_handler_for_path(); }, "Invalid path", true,
       false},
      {"remote", [] { throw exception_io_object_is_remote(); },
       "This operation is not supported on remote objects", true, false},
      {"no length", [] { throw exception_io_no_length(); }, "Length of object is unknown", true,
       false},
      {"denied", [] { throw exception_io_denied(); }, "Access denied", true, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    bool caught_io = false, caught_data = false;
    std::string message;
    try {
      r.raise();
    } catch (const exception_io_data& e) {
      caught_io = caught_data = true;
      message = e.what();
    } catch (const exception_io& e) {
      caught_io = true;
      message = e.what();
    } catch (const std::exception& e) {
      message = e.what();
    }
    EXPECT_EQ(message, r.message);
    EXPECT_EQ(caught_io, r.is_io);
    EXPECT_EQ(caught_data, r.is_data);
  }
}

TEST(Exceptions, BadAllocIsAStandardBadAlloc) {
  EXPECT_THROW(throw plix::bad_alloc(), std::bad_alloc);
}

TEST(Exceptions, ExplicitMessageIsCopiedAndSurvivesCopies) {
  std::string text = " truncated file";
  exception_io_data original(text.c_str());
  text.assign("overwritten....");
  exception_io_data copy = original;
  EXPECT_STREQ(original.what(), " truncated file");
  EXPECT_STREQ(copy.what(), " truncated file");
}

TEST(Exceptions, NullExplicitMessageReadsUnknownException) {
  EXPECT_STREQ(exception_io_data(nullptr).what(), "Unknown exception");
}

TEST(ErrorTexts, BridgeThrowsDataErrorWithTheTextAndIgnoresNull) {
  EXPECT_NO_THROW(throw_error_text(nullptr));
  EXPECT_THROW_EXACT(throw_error_text(err_truncated_file), exception_io_data, " truncated file");
  EXPECT_STREQ(err_gzip_too_large, " unsupported file feature; gzip larger than 2GB");
  EXPECT_STREQ(err_unzip_failed, " operation failed; problem unzipping data");
}

TEST(Abort, CheckAbortedThrowsOnlyWhenSet) {
  abort_callback_impl abort;
  EXPECT_NO_THROW(check_aborted(abort));
  abort.abort();
  EXPECT_THROW_EXACT(check_aborted(abort), exception_aborted, "User abort");
}
