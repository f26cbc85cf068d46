// Sample content for tests: compressible text made in code, and the files
// of a kind found in the bad-input corpus in tests/data and the fetched
// corpus beside the checkout.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// `n` bytes of text with enough repetition to compress, different for each
// seed.
inline std::string sample_text(size_t n, uint32_t seed = 1) {
  std::string s;
  for (uint32_t i = 0; s.size() < n; ++i) {
    s += "row " + std::to_string((i * 104729u + seed * 7919u) % 65521u) + ";";
  }
  s.resize(n);
  return s;
}

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
