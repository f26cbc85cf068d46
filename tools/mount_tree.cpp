#include "tools/mount_tree.h"

namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// `text` as shown: a "%" that two hex digits follow is written "%25", so
// that it does not read as an escape, and with `whole`, "/" is written
// "%2F", so that the name stays one part.
// Injective: a kept "%" lacks two hex digits after it, and escapes after it begin with "%".
std::string escape(std::string_view text, bool whole) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && text.size() - i >= 3 && is_hex_digit(text[i + 1]) &&
        is_hex_digit(text[i + 2])) {
      out += "%25";
    } else if (c == '/' && whole) {
      out += "%2F";
    } else {
      out += c;
    }
  }
  return out;
}

// A segment of a name that stays inside its folder. A lone "%" is written
// "%25": shown alone, "%" stands for the empty name.
std::string escape_segment(std::string_view segment) {
  return segment == "%" ? "%25" : escape(segment, false);
}

// The whole member name as one file name, which can never be a path of
// several parts, "." or "..".
std::string escape_whole(std::string_view name) {
  std::string out = escape(name, true);
  if (out.empty()) return "%";
  if (out == ".") return "%2E";
  if (out == "..") return "%2E%2E";
  return out;
}

}  // namespace

mount_place place_of_member(std::string_view name) {
  mount_place place;
  bool outside = !name.empty() && name[0] == '/';
  size_t start = 0;
  while (!outside && start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view segment = name.substr(start, end - start);
    if (segment == "..") outside = true;
    if (!segment.empty() && segment != ".") place.segments.push_back(escape_segment(segment));
    start = end + 1;
  }
  if (outside || place.segments.empty()) {
    place.segments.assign(1, escape_whole(name));
    place.escaped = true;
  }
  return place;
}

mount_tree::mount_tree(std::string archive_path, uint64_t timestamp) {
  mount_node& r = nodes_.emplace_back();
  r.kind = mount_kind::archive;
  r.member_path = std::move(archive_path);
  r.timestamp = timestamp;
  r.listing = listing_state::unlisted;
}

uint32_t mount_tree::child(uint32_t folder, std::string_view name) const {
  const mount_node& f = nodes_[folder];
  auto found = f.by_name.find(std::string(name));
  return found == f.by_name.end() ? none : found->second;
}

uint32_t mount_tree::add_node(uint32_t parent, std::string name, mount_kind kind,
                              uint64_t timestamp) {
  auto index = static_cast<uint32_t>(nodes_.size());
  mount_node& n = nodes_.emplace_back();
  n.kind = kind;
  n.parent = parent;
  n.name = name;
  n.timestamp = timestamp;
  mount_node& p = nodes_[parent];
  p.children.push_back(index);
  p.by_name.emplace(std::move(name), index);
  if (kind != mount_kind::file) ++p.subfolders;
  return index;
}

uint32_t mount_tree::add_member(uint32_t archive_node, uint32_t ordinal,
                                std::string_view member_name, std::string member_path,
                                uint64_t size, uint64_t timestamp, bool as_archive) {
  mount_place place = place_of_member(member_name);
  uint32_t folder = archive_node;
  for (size_t i = 0; i + 1 < place.segments.size(); ++i) {
    uint32_t next = child(folder, place.segments[i]);
    if (next == none) {
      next = add_node(folder, place.segments[i], mount_kind::folder, timestamp);
    } else if (nodes_[next].kind != mount_kind::folder) {
      return none;  // a file (or an archive's folder) holds the place
    }
    folder = next;
  }
  if (child(folder, place.segments.back()) != none) return none;
  uint32_t index = add_node(folder, place.segments.back(),
                            as_archive ? mount_kind::archive : mount_kind::file, timestamp);
  mount_node& n = nodes_[index];
  n.member_path = std::move(member_path);
  n.size = size;
  n.archive = archive_node;
  n.ordinal = ordinal;
  if (as_archive) n.listing = listing_state::unlisted;
  return index;
}
