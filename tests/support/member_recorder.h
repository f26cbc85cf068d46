// A member callback that records everything a listing reports, reading
// the content of every reader it is given.
#pragma once

#include <string>
#include <vector>

#include "archive/archive.h"
#include "tests/support/test_host.h"

class member_recorder : public sonovale_io::member_callback {
 public:
  struct member {
    std::string path;
    sonovale_io::file_stats stats;
    bool has_reader;
    std::string content;
  };
  std::vector<member> members;

  bool is_aborting() const override { return false; }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(sonovale_io::archive*, const char* path, const sonovale_io::file_stats& stats,
                 sonovale_io::file_ptr& reader) override {
    members.push_back({path, stats, reader.is_valid(), reader.is_valid() ? read_all(*reader) : ""});
    return true;
  }
};
