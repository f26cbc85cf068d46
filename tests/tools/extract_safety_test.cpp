// extractor: a member interrupted while it is written leaves nothing behind.
#include "tools/extract_safety.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/tripping_abort.h"

namespace {

TEST(Extractor, AnAbortWhileWritingRemovesThePartialFile) {
  char name[] = "/tmp/brenmoor-extract-XXXXXX";
  std::string folder = ::mkdtemp(name);
  {
    extractor target(folder);
    sonovale_io::file_ptr content = make_file_buffer(8 << 20, 0);
    // Reading the in-memory content never polls: the abort is the write
    // loop's, at its third piece.
    tripping_abort abort(3);
    EXPECT_THROW_EXACT(target.write(plan_member("sub/big.bin"), *content, 0, abort),
                       sonovale_io::exception_aborted, "User abort");
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder + "/sub")) << "a partial file was left";
  std::filesystem::remove_all(folder);
}

}  // namespace
