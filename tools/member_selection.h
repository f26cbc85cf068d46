// Members named as tar users name them (`brenmoor cat a.tar.gz -m NAME`).
//
// A NAME is a member's name in its archive, or a shell pattern, and reaches
// into nested archives with the names of the levels joined by "|", as
// `list -r` prints them ("docs/a.tar.bz2|a.tar|notes.txt"). Each level of a
// NAME matches a member's name in the archive of that level:
//   - literally: the whole name, or on the last level a leading folder of it
//     ("docs" and "docs/" select "docs/a.txt" and "docs/sub/b.txt");
//   - as a pattern, as GNU tar's --wildcards does by default: fnmatch
//     without FNM_PATHNAME, so "*" and "?" match "/" too ("*.txt" selects
//     "docs/a.txt"), and on the last level with FNM_LEADING_DIR ("d*"
//     selects everything below "docs/"). A backslash quotes the next
//     character.
// The literal match comes first, so a name with "[", "*" or "?" in it
// selects itself without quoting, which GNU tar and bsdtar do not do.
// Passing through compressed TARs is the walk's business (commands.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class member_selection {
 public:
  // Where a walk stands in the names: the names it still follows into the
  // archive being listed, each with the index of the level that archive's
  // members are matched against.
  struct position {
    size_t name;
    size_t level;
  };
  using cursor = std::vector<position>;

  // `names` as given on the command line, each not empty.
  explicit member_selection(const std::vector<std::string>& names);

  // The cursor of a top-level archive: every name at its first level.
  cursor start() const;

  // Matches the member named `member` (its name in its archive) against the
  // names at `at`. Returns true when a name ends on the member, and marks
  // that name as having selected something. `into` receives the names that
  // go on into the member, at their next level: it is an archive they reach
  // into (the caller lists it only when it is one).
  bool match(const cursor& at, std::string_view member, cursor& into);

  // The names that have selected no member so far, in the order given.
  std::vector<std::string> unmatched() const;

 private:
  struct name {
    std::string text;                 // as given, for reporting
    std::vector<std::string> levels;  // split at "|"
    bool matched = false;
  };
  std::vector<name> names_;
};

// Whether one level of a NAME, `pattern`, matches the member name `member`,
// by the rules above; `last` when it is the NAME's last level.
bool member_level_matches(std::string_view pattern, std::string_view member, bool last);
