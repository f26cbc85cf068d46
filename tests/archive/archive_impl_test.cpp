#include <gtest/gtest.h>

#include <string>

#include "archive/archive.h"
#include "archive/member_path.h"
#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/small_stack.h"
#include "tests/support/test_host.h"

using namespace sonovale_io;

namespace {

// A format whose members are named in the archive's text, one per line;
// opening a member gives "<archive content>/<member>".
class line_archive : public archive_impl {
 public:
  void list_members(const char* path, service_ptr_t<file>& reader, member_callback& callback,
                    bool) override {
    file_ptr f = reader;
    if (f.is_empty()) g_open(f, path, open_mode_read, callback);
    std::string text = read_all(*f), line;
    for (char c : text + "\n") {
      if (c != '\n') {
        line += c;
        continue;
      }
      if (line.empty()) continue;
      plix::string8 member_path;
      make_member_path(member_path, *this, path, line.c_str());
      file_ptr none;
      if (!callback.on_member(this, member_path.get_ptr(), {line.size(), 0}, none)) return;
      line.clear();
    }
  }
  const char* get_type_name() override { return "lines"; }
  file_stats get_member_stats(const char* archive_path, const char* member,
                              abort_callback& abort) override {
    file_ptr f;
    g_open(f, archive_path, open_mode_read, abort);
    return {std::strlen(member), f->get_timestamp(abort)};
  }
  void open_member(service_ptr_t<file>& out, const char* archive_path, const char* member,
                   abort_callback& abort) override {
    file_ptr archive;
    g_open(archive, archive_path, open_mode_read, abort);
    std::string content = read_all(*archive) + "/" + member;
    file_ptr f = make_file_buffer(0, archive->get_timestamp(abort));
    f->write(content.data(), static_cast<uint32_t>(content.size()), abort);
    f->reopen(abort);
    out = f;
  }
};

class collect : public member_callback {
 public:
  bool is_aborting() const override { return false; }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(archive*, const char* path, const file_stats&, service_ptr_t<file>&) override {
    paths.push_back(path);
    return true;
  }
  std::vector<std::string> paths;
};

struct ArchiveImpl : testing::Test {
  service_impl_single_t<line_archive> lines;
  test_host host;  // after the archive: it drops its references first
  abort_callback_dummy abort;
  ArchiveImpl() { host.add_filesystem(&lines); }
};

}  // namespace

TEST_F(ArchiveImpl, ClaimsOnlyItsOwnPrefixAndType) {
  EXPECT_TRUE(lines.is_our_path("unpack://lines|1|a|b"));
  EXPECT_TRUE(lines.is_our_path("unpack://lines|"));
  EXPECT_FALSE(lines.is_our_path("UNPACK://lines|1|a|b"));
  EXPECT_FALSE(lines.is_our_path("unpack://LINES|1|a|b"));
  EXPECT_FALSE(lines.is_our_path("unpack://linesx|1|a|b"));
  EXPECT_FALSE(lines.is_our_path("unpack://lines"));
  service_ptr_t<service_base> out;
  EXPECT_TRUE(lines.query_class(out, archive::class_guid));
  EXPECT_TRUE(lines.query_class(out, filesystem::class_guid));
  out.release();
  EXPECT_FALSE(lines.query_class(out, file::class_guid));
  EXPECT_TRUE(out.is_empty());
}

TEST_F(ArchiveImpl, OpensMembersThroughDispatch) {
  std::string archive = host.put("a.lines", "content");
  std::string path = "unpack://lines|" + std::to_string(archive.size()) + "|" + archive + "|m|x";
  file_ptr f;
  filesystem::g_open(f, path.c_str(), open_mode_read, abort);
  EXPECT_EQ(read_all(*f), "content/m|x");
}

TEST_F(ArchiveImpl, AMemberPathServesAsAnArchivePath) {
  host.put("outer.lines", "inner.lines");
  // The member "inner.lines" of mem://outer.lines opens as
  // "inner.lines/inner.lines"; list that as an archive of one line.
  plix::string8 inner;
  make_member_path(inner, lines, "mem://outer.lines", "inner.lines");
  plix::string8 nested;
  make_member_path(nested, lines, inner.get_ptr(), "deep");
  file_ptr f;
  filesystem::g_open(f, nested.get_ptr(), open_mode_read, abort);
  EXPECT_EQ(read_all(*f), "inner.lines/inner.lines/deep");
  collect c;
  file_ptr none;
  lines.list_members(inner.get_ptr(), none, c, false);
  ASSERT_EQ(c.paths.size(), 1u);
  EXPECT_EQ(c.paths[0], "unpack://lines|" + std::to_string(inner.get_length()) + "|" +
                            inner.get_ptr() + "|inner.lines/inner.lines");
}

TEST_F(ArchiveImpl, RefusesWritingAndBadPaths) {
  file_ptr f;
  EXPECT_THROW_EXACT(lines.open(f, "not a member path", open_mode_write_new, abort),
                     exception_io_denied, "Access denied");
  EXPECT_THROW_EXACT(lines.open(f, "unpack://lines|9|a|x", open_mode_read, abort),
                     exception_io_not_found, "Object not found");
  EXPECT_THROW_EXACT(lines.remove_object("unpack://lines|1|a|x", abort), exception_io_denied,
                     "Access denied");
  EXPECT_THROW_EXACT(lines.move_object("a", "b", abort), exception_io_denied, "Access denied");
  EXPECT_THROW_EXACT(lines.create_directory("a", abort), exception_io_denied, "Access denied");
  EXPECT_THROW_EXACT(lines.list_directory("a", nullptr, abort), exception_io_not_found,
                     "Object not found");
  EXPECT_FALSE(lines.supports_folders());
  EXPECT_THROW_EXACT(lines.is_remote("garbage"), exception_io_not_found, "Object not found");
  EXPECT_THROW_EXACT(lines.is_remote("unpack://lines|3|x:y|m"), exception_io_no_handler_for_path,
                     "Invalid path");
  EXPECT_TRUE(f.is_empty());
}

TEST_F(ArchiveImpl, StatsRefuseRemoteArchives) {
  std::string archive = host.put("r.lines", "x");
  std::string path = "unpack://lines|" + std::to_string(archive.size()) + "|" + archive + "|abc";
  file_stats stats{};
  bool writable = true;
  lines.get_stats(path.c_str(), stats, writable, abort);
  EXPECT_FALSE(writable);
  EXPECT_EQ(stats.size, 3u);
  EXPECT_EQ(stats.timestamp, host.mem().timestamp);
  host.mem().remote[archive] = true;
  EXPECT_TRUE(lines.is_remote(path.c_str()));
  EXPECT_THROW_EXACT(lines.get_stats(path.c_str(), stats, writable, abort),
                     exception_io_object_is_remote,
                     "This operation is not supported on remote objects");
}

TEST_F(ArchiveImpl, CanonicalDisplayAndReferencePaths) {
  plix::string8 out("unchanged");
  // The canonical archive path is shorter: the length field follows it.
  EXPECT_TRUE(lines.get_canonical_path("unpack://lines|10|mem://a//b|m", out));
  EXPECT_STREQ(out.get_ptr(), "unpack://lines|9|mem://a/b|m");
  EXPECT_FALSE(lines.get_canonical_path("unpack://other|10|mem://a//b|m", out));
  EXPECT_TRUE(lines.get_display_path("unpack://gz|7|mem://a|m", out));  // prefix not tested
  EXPECT_STREQ(out.get_ptr(), "[mem] a|m");
  EXPECT_TRUE(lines.get_display_path("unpack://lines|3|x:y|m", out));
  EXPECT_STREQ(out.get_ptr(), "x:y|m");
  EXPECT_FALSE(lines.get_display_path("unpack://lines|99|x|m", out));

  EXPECT_TRUE(lines.make_reference_path("unpack://lines|7|mem://a|m", "R", out));
  EXPECT_STREQ(out.get_ptr(), "unpack://lines|7|ref:R:a|m");
  EXPECT_FALSE(lines.make_reference_path("unpack://lines|3|x:y|m", "R", out));
  EXPECT_TRUE(lines.resolve_reference_path("unpack://lines|7|ref:R:a|m", "R", out));
  EXPECT_STREQ(out.get_ptr(), "unpack://lines|7|mem://a|m");
  EXPECT_FALSE(lines.resolve_reference_path("unpack://other|7|ref:R:a|m", "R", out));
  EXPECT_FALSE(lines.resolve_reference_path("unpack://lines|3|x:y|m", "R", out));
}

namespace {

// A member path of `depth` levels around "mem://a", each naming member "m".
std::string nested_path(unsigned depth) {
  std::string path = "mem://a";
  for (unsigned i = 0; i < depth; ++i)
    path = "unpack://lines|" + std::to_string(path.size()) + "|" + path + "|m";
  return path;
}

}  // namespace

TEST_F(ArchiveImpl, NestingUpToTheLimitWorksAndOnePastItIsRefusedBeforeRecursing) {
  host.mem().files["mem://a"] = "x";
  for (unsigned depth : {max_member_path_depth, max_member_path_depth + 1, 5000u}) {
    SCOPED_TRACE(depth);
    std::string path = nested_path(depth);
    bool allowed = depth <= max_member_path_depth;
    // A host thread may have little stack; the refusal must come before
    // the recursion that would use it up.
    run_on_small_stack(256 * 1024, [&] {
      plix::string8 out;
      EXPECT_EQ(lines.get_display_path(path.c_str(), out), allowed);
      EXPECT_EQ(lines.get_canonical_path(path.c_str(), out), allowed);
      EXPECT_EQ(lines.make_reference_path(path.c_str(), "R", out), allowed);
      if (allowed) {
        std::string expected = "x";
        for (unsigned i = 0; i < depth; ++i) expected += "/m";
        file_ptr f;
        lines.open(f, path.c_str(), open_mode_read, abort);
        EXPECT_EQ(read_all(*f), expected);
        EXPECT_FALSE(lines.is_remote(path.c_str()));
        file_stats stats{};
        bool writable = true;
        lines.get_stats(path.c_str(), stats, writable, abort);
        EXPECT_EQ(stats.size, 1u);
      } else {
        file_ptr f;
        EXPECT_THROW_EXACT(lines.open(f, path.c_str(), open_mode_read, abort),
                           exception_io_not_found, "Object not found");
        EXPECT_THROW_EXACT(lines.is_remote(path.c_str()), exception_io_not_found,
                           "Object not found");
        file_stats stats{};
        bool writable = true;
        EXPECT_THROW_EXACT(lines.get_stats(path.c_str(), stats, writable, abort),
                           exception_io_not_found, "Object not found");
      }
    });
  }
}
