#include "tools/member_selection.h"

#include <fnmatch.h>

namespace {

std::vector<std::string> split_levels(const std::string& text) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (;;) {
    size_t bar = text.find('|', start);
    levels.push_back(text.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  // A folder may be named with its trailing "/", as tar allows.
  std::string& last = levels.back();
  while (last.size() > 1 && last.back() == '/') last.pop_back();
  return levels;
}

}  // namespace

bool member_level_matches(std::string_view pattern, std::string_view member, bool last) {
  if (member == pattern) return true;
  if (last && member.size() > pattern.size() && member.substr(0, pattern.size()) == pattern &&
      member[pattern.size()] == '/')
    return true;
  std::string p(pattern), m(member);
  return ::fnmatch(p.c_str(), m.c_str(), last ? FNM_LEADING_DIR : 0) == 0;
}

member_selection::member_selection(const std::vector<std::string>& names) {
  for (const std::string& text : names) names_.push_back({text, split_levels(text)});
}

member_selection::cursor member_selection::start() const {
  cursor at;
  for (size_t i = 0; i < names_.size(); ++i) at.push_back({i, 0});
  return at;
}

bool member_selection::match(const cursor& at, std::string_view member, cursor& into) {
  into.clear();
  bool selected = false;
  for (const position& p : at) {
    name& n = names_[p.name];
    bool last = p.level + 1 == n.levels.size();
    if (!member_level_matches(n.levels[p.level], member, last)) continue;
    if (last) {
      n.matched = true;
      selected = true;
    } else {
      into.push_back({p.name, p.level + 1});
    }
  }
  return selected;
}

std::vector<std::string> member_selection::unmatched() const {
  std::vector<std::string> names;
  for (const name& n : names_) {
    if (!n.matched) names.push_back(n.text);
  }
  return names;
}
