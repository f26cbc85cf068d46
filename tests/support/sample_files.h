// Finding sample files for tests that check every file of a kind: the
// bad-input corpus in tests/data and the fetched corpus beside the checkout.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The whole content of the file at `path`.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The regular files under `root`, at any depth, that start with `magic`,
// in path order; none when `root` is not a folder.
inline std::vector<std::filesystem::path> files_starting_with(const std::filesystem::path& root,
                                                              const std::string& magic) {
  std::vector<std::filesystem::path> found;
  if (!std::filesystem::is_directory(root)) return found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string head(magic.size(), '\0');
    if (in.read(head.data(), static_cast<std::streamsize>(head.size())) && head == magic) {
      found.push_back(entry.path());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

// The fetched corpus beside the checkout (it may be absent).
inline std::filesystem::path fetched_corpus() {
  return std::filesystem::path(SHARED_DIR) / "corpus" / "fetched";
}
