#include "tools/mount_tree.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

namespace {

TEST(MountPlace, NamesBecomeSegmentsOrOneEscapedName) {
  struct row {
    const char* what;
    std::string name;
    std::vector<std::string> segments;
    bool escaped;
  };
  const row rows[] = {
      {"plain", "a/b.txt", {"a", "b.txt"}, false},
      {"dot and empty segments dropped", "./a//b/", {"a", "b"}, false},
      {"odd bytes kept", "ctl\x01\x1b/\xff\xfe", {"ctl\x01\x1b", "\xff\xfe"}, false},
      {"percent kept in a valid name", "50%/x", {"50%", "x"}, false},
      {"percent kept before one hex digit", "100%.flac", {"100%.flac"}, false},
      {"percent before two hex digits escaped", "50%2Fy", {"50%252Fy"}, false},
      {"hex digits of either case", "a%2fb/%e9", {"a%252fb", "%25e9"}, false},
      {"a lone percent escaped", "d/%", {"d", "%25"}, false},
      {"absolute", "/etc/passwd", {"%2Fetc%2Fpasswd"}, true},
      {"leading dot-dot", "../x", {"..%2Fx"}, true},
      {"inner dot-dot", "a/../../x", {"a%2F..%2F..%2Fx"}, true},
      {"percent kept in an escaped name", "50%/..", {"50%%2F.."}, true},
      {"percent before two hex digits escaped in an escaped name", "../%41", {"..%2F%2541"}, true},
      {"dot-dot alone", "..", {"%2E%2E"}, true},
      {"dot alone", ".", {"%2E"}, true},
      {"only slashes", "./", {".%2F"}, true},
      {"empty", "", {"%"}, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    mount_place p = place_of_member(r.name);
    EXPECT_EQ(p.segments, r.segments);
    EXPECT_EQ(p.escaped, r.escaped);
  }
}

// Reads a shown name back as the documentation says.
std::string unescape(const std::string& shown) {
  if (shown == "%") return "";
  std::string out;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '%' && shown.size() - i >= 3 &&
        std::isxdigit(static_cast<unsigned char>(shown[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(shown[i + 2]))) {
      out += static_cast<char>(std::stoi(shown.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += shown[i];
    }
  }
  return out;
}

TEST(MountPlace, EveryNameShowsAsItsOwnAndReadsBack) {
  const std::string names[] = {"../evil", "..%2Fevil", "..",     "%2E%2E", "50%2Fy", "100%.flac",
                               "%",       "%41",       "",       "a%2fb",  "A",      "%2F",
                               "/",       "%/%25",     "50%/..", ".%2E",   "x/%",    "x%"};
  std::map<std::string, std::string> shown;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    mount_place p = place_of_member(name);
    std::string path, back;
    for (size_t i = 0; i < p.segments.size(); ++i) {
      std::string slash = i == 0 ? "" : "/";
      path += slash + p.segments[i];
      back += slash + unescape(p.segments[i]);
    }
    EXPECT_EQ(back, name);
    auto [at, added] = shown.emplace(path, name);
    EXPECT_TRUE(added) << "shown as " << path << " like " << at->second;
  }
}

TEST(MountTree, FirstMemberOfAPlaceWins) {
  mount_tree tree("a.tar", 7);
  uint32_t first = tree.add_member(mount_tree::root, 0, "d/x", "p0", 1, 7, false);
  ASSERT_NE(first, mount_tree::none);
  EXPECT_EQ(tree.add_member(mount_tree::root, 1, "d/x", "p1", 2, 7, false), mount_tree::none);
  EXPECT_EQ(tree.add_member(mount_tree::root, 2, "./d//x", "p2", 3, 7, false), mount_tree::none);
  // A file where a folder is, and a folder where a file is.
  EXPECT_EQ(tree.add_member(mount_tree::root, 3, "d", "p3", 4, 7, false), mount_tree::none);
  EXPECT_EQ(tree.add_member(mount_tree::root, 4, "d/x/y", "p4", 5, 7, false), mount_tree::none);

  uint32_t d = tree.child(mount_tree::root, "d");
  ASSERT_NE(d, mount_tree::none);
  EXPECT_EQ(tree.node(d).kind, mount_kind::folder);
  EXPECT_EQ(tree.node(d).children, std::vector<uint32_t>{first});
  EXPECT_EQ(tree.node(first).member_path, "p0");
  EXPECT_EQ(tree.node(first).size, 1u);
  EXPECT_EQ(tree.node(mount_tree::root).subfolders, 1u);
}

TEST(MountTree, ArchiveMembersAreUnlistedFoldersOfTheirOwn) {
  mount_tree tree("a.tar", 7);
  uint32_t nested = tree.add_member(mount_tree::root, 0, "in/b.tar", "pb", 10, 7, true);
  ASSERT_NE(nested, mount_tree::none);
  EXPECT_EQ(tree.node(nested).kind, mount_kind::archive);
  EXPECT_EQ(tree.node(nested).listing, listing_state::unlisted);
  // Its members go below it, with their own ordinals and archive.
  uint32_t inner = tree.add_member(nested, 3, "x", "px", 1, 7, false);
  ASSERT_NE(inner, mount_tree::none);
  EXPECT_EQ(tree.node(inner).parent, nested);
  EXPECT_EQ(tree.node(inner).archive, nested);
  EXPECT_EQ(tree.node(inner).ordinal, 3u);
  // Nothing else can claim the archive's place as a folder.
  EXPECT_EQ(tree.add_member(mount_tree::root, 1, "in/b.tar/y", "py", 1, 7, false),
            mount_tree::none);
}

}  // namespace
