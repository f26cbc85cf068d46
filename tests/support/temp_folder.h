// A temporary folder for a test's files on the local disk.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

// Makes a new folder /tmp/PREFIX-XXXXXX on construction (throws
// std::runtime_error when it cannot) and removes it, with everything in
// it, on destruction.
class temp_folder {
 public:
  explicit temp_folder(const std::string& prefix = "brenmoor-test") {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern;
  }
  ~temp_folder() { std::filesystem::remove_all(path_); }
  temp_folder(const temp_folder&) = delete;
  temp_folder& operator=(const temp_folder&) = delete;

  const std::string& path() const { return path_; }

  // Writes `content` to the file `name` below the folder, making the
  // folders it names, and returns the file's path.
  std::string write(const std::string& name, const std::string& content) const {
    std::filesystem::path p = path_ + "/" + name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }

 private:
  std::string path_;
};
