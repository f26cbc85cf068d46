// A member callback that records everything a listing reports, reading
// the content of every reader it is given from where the reader stands.
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
    sonovale_io::archive* owner;
    uint64_t position;  // of the reader when it was handed over; 0 without one
  };
  std::vector<member> members;

  bool is_aborting() const override { return false; }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(sonovale_io::archive* owner, const char* path,
                 const sonovale_io::file_stats& stats, sonovale_io::file_ptr& reader) override {
    member m{path, stats, reader.is_valid(), "", owner, 0};
    if (m.has_reader) {
      abort_callback_dummy abort;
      m.position = reader->get_position(abort);
      m.content = read_all(*reader);
    }
    members.push_back(std::move(m));
    return true;
  }
};
