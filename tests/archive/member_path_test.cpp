#include "archive/member_path.h"

#include <gtest/gtest.h>

#include <string>

using namespace sonovale_io;

namespace {

class typed_archive : public archive_impl {
 public:
  explicit typed_archive(const char* type) : type_(type) {}
  int32_t release_reference() override { return 1; }
  int32_t add_reference() override { return 1; }
  void list_members(const char*, service_ptr_t<file>&, member_callback&, bool) override {}
  const char* get_type_name() override { return type_; }
  file_stats get_member_stats(const char*, const char*, abort_callback&) override { return {}; }
  void open_member(service_ptr_t<file>&, const char*, const char*, abort_callback&) override {}

 private:
  const char* type_;
};

}  // namespace

TEST(ParseMemberPath, AcceptsAndRejects) {
  struct row {
    const char* path;
    bool ok;
    const char* archive = nullptr;
    const char* member = nullptr;
  };
  const row rows[] = {
      {"unpack://tar|5|a.tar|x", true, "a.tar", "x"},
      {"unpack://tar|5|a.tar|", true, "a.tar", ""},
      {"unpack://tar|5|a.tar|b|c", true, "a.tar", "b|c"},
      {"unpack://tar|5xyz|a.tar|x", true, "a.tar", "x"},
      {"unpack://tar| +5|a.tar|x", true, "a.tar", "x"},
      {"unpack://tar|7|a|b.tar|x", true, "a|b.tar", "x"},
      {"unpack://tar|13|C:\\data\\a.tar|docs/readme.txt", true, "C:\\data\\a.tar",
       "docs/readme.txt"},
      {"unpack://tar|37|unpack://gz|16|C:\\data\\a.tar.gz|a.tar|docs/readme.txt", true,
       "unpack://gz|16|C:\\data\\a.tar.gz|a.tar", "docs/readme.txt"},
      {"unpack://tar|4|a.tar|x", false},
      {"unpack://tar|0||x", false},
      {"unpack://tar|-1|a|x", false},
      {"unpack://tar|abc|a|x", false},
      {"unpack://tar|9|a.tar", false},
      {"unpack://tar|5|a.tar", false},
      {"unpack://tar|5", false},
      {"no separator at all", false},
      // Lengths beyond 32 bits saturate instead of wrapping to a small number.
      {"unpack://tar|4294967301|a.tar|x", false},
      {"unpack://tar|99999999999999999999|a.tar|x", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path);
    plix::string8 archive("unchanged"), member("unchanged");
    EXPECT_EQ(parse_member_path(r.path, archive, member), r.ok);
    EXPECT_STREQ(archive.get_ptr(), r.ok ? r.archive : "unchanged");
    EXPECT_STREQ(member.get_ptr(), r.ok ? r.member : "unchanged");
  }
}

TEST(MakeMemberPath, WritesTheByteLength) {
  typed_archive tar("tar");
  plix::string8 out;
  make_member_path(out, tar, "C:\\data\\a.tar", "docs/readme.txt");
  EXPECT_STREQ(out.get_ptr(), "unpack://tar|13|C:\\data\\a.tar|docs/readme.txt");
  std::string long_path(200, 'p');
  make_member_path(out, tar, long_path.c_str(), "m");
  EXPECT_EQ(std::string(out.get_ptr()), "unpack://tar|200|" + long_path + "|m");
  make_member_path(out, tar, "", "m");
  EXPECT_STREQ(out.get_ptr(), "unpack://tar|0||m");
  plix::string8 a, m;
  EXPECT_FALSE(parse_member_path(out.get_ptr(), a, m));
  // UTF-8 lengths count bytes.
  make_member_path(out, tar, "\xC3\xA9.tar", "x");
  EXPECT_STREQ(out.get_ptr(), "unpack://tar|6|\xC3\xA9.tar|x");
}

TEST(PathHelpers, FileExtension) {
  struct row {
    const char* path;
    const char* extension;
  };
  const row rows[] = {
      {"C:\\x\\a.TAR", "TAR"},
      {"a.tar?x=1", "tar"},
      {"a.tar?x=1?y", "tar"},
      {"archive", ""},
      {"dir.d/archive", ""},
      {"a.tar.gz", "gz"},
      {"unpack://gz|16|C:\\data\\a.tar.gz|a.tar", "tar"},
      {"x.0123456789012345678901234567890", "0123456789012345678901234567890"},
      {"x.01234567890123456789012345678901", ""},
      {"name.", ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path);
    char out[32] = "garbage";
    EXPECT_STREQ(get_file_extension(r.path, out), r.extension);
  }
}

TEST(PathHelpers, FileNameWithoutExtension) {
  struct row {
    const char* path;
    const char* name;
  };
  const row rows[] = {
      {"C:\\x\\song.mp3.gz", "song.mp3"},
      {"C:\\x\\.gz", ".gz"},
      {"C:\\x\\README", "README"},
      {"a.gz?x=1", "a"},
      {"README?v=1.2", "README?v=1.2"},
      {"C:\\music\\song.flac.bz2", "song.flac"},
      {"unpack://gz|16|C:\\data\\a.tar.gz|a.tar", "a"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path);
    EXPECT_STREQ(get_file_name_without_extension(r.path).get_ptr(), r.name);
  }
  EXPECT_EQ(file_name_offset("C:\\a/b|c:d"), 9u);
  EXPECT_EQ(file_name_offset("plain"), 0u);
}

TEST(PathHelpers, ShortExtensionsOfCompressedTarArchives) {
  struct row {
    const char* path;
    const char* claimed_by;  // the type whose extension it is; "" for none
    const char* member;      // the name of the one file it holds
  };
  const row rows[] = {
      {"C:\\x\\album.tgz", "gz", "album.tar"},
      {"album.TAZ", "gz", "album.tar"},
      {"album.tar.gz", "gz", "album.tar"},
      {"album.tbz", "bz2", "album.tar"},
      {"album.TBZ2", "bz2", "album.tar"},
      {"album.tb2?x=1", "bz2", "album.tar"},
      {"song.flac.bz2", "bz2", "song.flac"},
      {".tgz", "gz", ".tgz"},
      {"album.tar", "tar", "album"},
      {"album.tgz.zip", "", "album.tgz"},
      {"album.tbz3", "", "album"},
      {"album", "", "album"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path);
    for (const char* type : {"tar", "gz", "bz2"})
      EXPECT_EQ(is_archive_extension(r.path, type), std::string(type) == r.claimed_by) << type;
    EXPECT_STREQ(get_compressed_member_name(r.path).get_ptr(), r.member);
  }
}
