// The folder tree that `brenmoor mount` shows: folders made from the "/" in
// member names, files for members, and (with -r) folders for members that
// are archives themselves.
//
// How a member name becomes a place in the tree (mount_place):
// - "." segments and empty segments ("a//b", "./a", a trailing "/") are
//   dropped, as tar and `extract` drop them.
// - In every shown name, a "%" that two hex digits follow is written "%25",
//   and a segment that is just "%" is written "%25"; any other "%" is kept
//   ("100%.flac" shows as it is).
// - A name that is absolute, has a ".." segment, or names nothing once the
//   above are dropped ("", ".", "./") would reach outside its folder or
//   nowhere: it shows as one file in the archive's top folder, named by the
//   whole member name with, besides, "/" written "%2F" and a result of "."
//   or ".." written "%2E" or "%2E%2E" ("" becomes "%"): "../evil" shows as
//   "..%2Fevil".
// - Every other byte (control characters, invalid UTF-8) is kept.
// Unescaping a shown name gives the member name back (the shown path's
// segments joined with "/", dropped segments aside): "%" and two hex
// digits (either case) stand for that byte, any other "%" for itself, and
// a name that is just "%" for the empty name. So no two members whose
// names differ other than by dropped segments show under the same name.
// The first member to claim a place keeps it: a later member of the same
// place (a name listed twice, or a file where a folder is, or the reverse)
// is not shown. Nothing here touches the module; the tree is not locked.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Where a member goes below its archive's folder: folders, then its name.
struct mount_place {
  std::vector<std::string> segments;
  bool escaped = false;  // the name was written whole as one escaped name
};
mount_place place_of_member(std::string_view name);

enum class mount_kind : uint8_t {
  folder,   // made from the "/" in member names, or the root
  file,     // a member
  archive,  // a member shown as the folder of its own members
};

// The listing state of an archive node (and of the root).
enum class listing_state : uint8_t { unlisted, listing, listed, failed };

struct mount_node {
  mount_kind kind = mount_kind::folder;
  uint32_t parent = 0;
  std::string name;         // as shown; empty for the root
  std::string member_path;  // files and archives: the path the module opens
  uint64_t size = 0;        // files: the member's size (unknown_size when not known)
  uint64_t timestamp = 0;   // the host's form
  // Members: the archive node whose listing reported it, and its place in
  // that listing (from 0, every member counted, shown or not).
  uint32_t archive = 0;
  uint32_t ordinal = 0;
  // Folders and archives: children in the order they first appeared, and
  // by name. Subfolders are counted for the link count.
  std::vector<uint32_t> children;
  std::unordered_map<std::string, uint32_t> by_name;
  uint32_t subfolders = 0;
  // Archives and the root: whether their members are in the tree yet, and
  // the errno a failed listing ended with.
  listing_state listing = listing_state::listed;
  int listing_error = 0;
  // Set once a failure of this node has been logged.
  bool logged = false;

  bool is_folder() const { return kind != mount_kind::file; }
};

// Node 0 is the root. Nodes are never removed, and references to them stay
// valid while nodes are added (a deque).
class mount_tree {
 public:
  static constexpr uint32_t root = 0;
  static constexpr uint32_t none = UINT32_MAX;

  // The root stands for the archive at `archive_path`, unlisted, stamped
  // with `timestamp`.
  mount_tree(std::string archive_path, uint64_t timestamp);

  // Adds the member `member_name` (member path `member_path`) of the
  // archive whose folder is `archive_node` (the root or an archive node):
  // as a file, or with `as_archive` as an unlisted archive folder. Returns
  // its node, or `none` when its place is taken (the member is not shown).
  // `ordinal` is the member's place in its archive's listing.
  uint32_t add_member(uint32_t archive_node, uint32_t ordinal, std::string_view member_name,
                      std::string member_path, uint64_t size, uint64_t timestamp, bool as_archive);

  mount_node& node(uint32_t index) { return nodes_[index]; }
  const mount_node& node(uint32_t index) const { return nodes_[index]; }
  size_t size() const { return nodes_.size(); }
  // The child of `folder` named `name`, or `none`.
  uint32_t child(uint32_t folder, std::string_view name) const;

 private:
  uint32_t add_node(uint32_t parent, std::string name, mount_kind kind, uint64_t timestamp);

  std::deque<mount_node> nodes_;
};
