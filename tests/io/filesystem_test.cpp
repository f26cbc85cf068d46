#include "io/filesystem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/call_stack.h"
#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/test_host.h"

using namespace sonovale_io;

namespace {

// Claims paths starting with `prefix`; its answers name it, so a test can
// tell which filesystem served a request.
class prefix_filesystem : public memory_filesystem {
 public:
  prefix_filesystem(std::string prefix, std::string name, bool canonical = true)
      : prefix_(std::move(prefix)), name_(std::move(name)), canonical_(canonical) {}
  bool is_our_path(const char* path) override { return std::string(path).rfind(prefix_, 0) == 0; }
  bool get_canonical_path(const char*, plix::string_base& out) override {
    ++canonical_asked;
    if (!canonical_) return false;
    out.set_string(name_.c_str());
    return true;
  }
  bool get_display_path(const char*, plix::string_base& out) override {
    if (!canonical_) return false;
    out.set_string(name_.c_str());
    return true;
  }
  void open(service_ptr_t<file>& out, const char*, open_mode, abort_callback& abort) override {
    if (throws) {
      EXPECT_EQ(call_stack_labels().back(), std::string("filesystem::g_open"));
      throw exception_io_denied();
    }
    file_ptr f = make_file_buffer(0, 0);
    f->write(name_.data(), static_cast<uint32_t>(name_.size()), abort);
    out = f;
  }
  bool is_remote(const char*) override { return name_ == "remote"; }

  bool throws = false;
  int canonical_asked = 0;

 private:
  std::string prefix_, name_;
  bool canonical_;
};

}  // namespace

TEST(Dispatch, UnownedPathFailsOrFallsBack) {
  test_host host;
  abort_callback_dummy abort;
  file_ptr out = make_file_buffer(0, 0);
  file* before = out.get_ptr();
  EXPECT_THROW_EXACT(filesystem::g_open(out, "nowhere:x", open_mode_read, abort),
                     exception_io_no_handler_for_path, "Invalid path");
  EXPECT_EQ(out.get_ptr(), before);
  EXPECT_THROW_EXACT(filesystem::g_is_remote("nowhere:x"), exception_io_no_handler_for_path,
                     "Invalid path");
  plix::string8 text;
  filesystem::g_get_display_path("nowhere:x", text);
  EXPECT_STREQ(text.get_ptr(), "nowhere:x");
  filesystem::g_get_canonical_path("nowhere:x", text);
  EXPECT_STREQ(text.get_ptr(), "nowhere:x");
  service_ptr_t<filesystem> fs;
  EXPECT_FALSE(filesystem::g_find_filesystem(fs, "nowhere:x"));
  EXPECT_TRUE(fs.is_empty());
  EXPECT_FALSE(filesystem::g_resolve_reference_path("nowhere:x", "r", text));
  EXPECT_TRUE(call_stack_labels().empty());
}

TEST(Dispatch, TheEarlierClaimWins) {
  service_impl_single_t<prefix_filesystem> first("x:", "remote");
  service_impl_single_t<prefix_filesystem> second("x:", "second");
  test_host host;  // after the filesystems: it drops its references first
  host.add_filesystem(&first);
  host.add_filesystem(&second);
  abort_callback_dummy abort;
  file_ptr out;
  filesystem::g_open(out, "x:a", open_mode_read, abort);
  out->reopen(abort);
  EXPECT_EQ(read_all(*out), "remote");
  EXPECT_TRUE(filesystem::g_is_remote("x:a"));
  plix::string8 text;
  filesystem::g_get_display_path("x:a", text);
  EXPECT_STREQ(text.get_ptr(), "remote");
}

TEST(Dispatch, CanonicalPathAsksEveryFilesystemUntilOneAnswers) {
  service_impl_single_t<prefix_filesystem> silent("y:", "silent", false);
  service_impl_single_t<prefix_filesystem> other("z:", "other");
  test_host host;
  host.add_filesystem(&silent);
  host.add_filesystem(&other);
  plix::string8 text;
  filesystem::g_get_canonical_path("y:a", text);
  // The owner answered false; a filesystem that does not own the path wins.
  EXPECT_STREQ(text.get_ptr(), "other");
  EXPECT_EQ(silent.canonical_asked, 1);
  filesystem::g_get_display_path("y:a", text);
  EXPECT_STREQ(text.get_ptr(), "y:a");  // the owner declined: the path itself
}

TEST(Dispatch, ExceptionsPassThroughAndMarkersAreReleased) {
  service_impl_single_t<prefix_filesystem> fs("x:", "x");
  test_host host;
  fs.throws = true;
  host.add_filesystem(&fs);
  abort_callback_dummy abort;
  file_ptr out;
  EXPECT_THROW_EXACT(filesystem::g_open(out, "x:a", open_mode_read, abort), exception_io_denied,
                     "Access denied");
  EXPECT_TRUE(call_stack_labels().empty());
  EXPECT_TRUE(out.is_empty());
}
