// The fuzz targets' side of the test host (tests/support/test_host.h): a
// "fuzz://" filesystem that serves the fuzz input, the test host with the
// archive services under test, a member callback that records what a
// listing reports, a write-only file that collects bytes into a string (a
// file that is not in memory, for the writers that take another road for
// those), and the small steps the decoder targets share: input as an
// in-memory file, an attempt that turns exception_io_data into null, and a
// view pass read to its end.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/content_index.h"
#include "archive/segment_pass.h"
#include "archive/view_format.h"
#include "io/file_buffer.h"
#include "tests/support/string_file.h"
#include "tests/support/test_host.h"

namespace fuzz {

// Aborts the run, naming the failed check, unless `condition` holds.
#define FUZZ_REQUIRE(condition) ::fuzz::require_at(condition, #condition, __LINE__)
inline void require_at(bool condition, const char* text, int line) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d: %s\n", line, text);
  std::abort();
}

// Every "fuzz://" path opens for reading as a fresh in-memory copy of
// `content`; the other operations are the test host's in-memory files'.
class input_filesystem : public memory_filesystem {
 public:
  const uint8_t* content = nullptr;
  size_t size = 0;

  bool get_canonical_path(const char*, plix::string_base&) override { return false; }
  bool is_our_path(const char* path) override { return std::strncmp(path, "fuzz://", 7) == 0; }
  bool get_display_path(const char*, plix::string_base&) override { return false; }
  void open(sonovale_io::file_ptr& out, const char*, sonovale_io::open_mode mode,
            abort_callback& abort) override {
    if (mode != sonovale_io::open_mode_read) throw sonovale_io::exception_io_denied();
    out = open_input(abort);
  }
  void get_stats(const char*, sonovale_io::file_stats& stats, bool& is_writable,
                 abort_callback&) override {
    stats = {size, timestamp};
    is_writable = false;
  }

  sonovale_io::file_ptr open_input(abort_callback& abort) {
    sonovale_io::file_ptr f = make_file_buffer(0, timestamp);
    f->write(content, static_cast<uint32_t>(size), abort);
    f->reopen(abort);
    return f;
  }
};

// The test host, installed as the module's host API for its lifetime, with
// "fuzz://" and `services` registered as filesystems after its own.
class host {
 public:
  explicit host(std::initializer_list<service_base*> services) {
    host_.add_filesystem(&input_);
    for (service_base* s : services) host_.add_filesystem(s);
  }

  input_filesystem& input() { return input_; }
  void set_input(const uint8_t* data, size_t size) {
    input_.content = data;
    input_.size = size;
  }

 private:
  // Declared before the host: the host drops its references first.
  service_impl_single_t<input_filesystem> input_;
  test_host host_;
};

// Everything a file holds from its current position on.
inline std::string read_rest(sonovale_io::file& f) { return read_all(f); }

struct listed_member {
  std::string path;
  sonovale_io::file_stats stats;
  bool has_reader;
  std::string content;
};

// Records every member reported, reading the content of supplied readers
// (which must stand at position 0). Stops after `limit` members.
class recording_callback : public sonovale_io::member_callback {
 public:
  std::vector<listed_member> members;
  size_t limit = SIZE_MAX;

  bool is_aborting() const override { return false; }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(sonovale_io::archive*, const char* path, const sonovale_io::file_stats& stats,
                 sonovale_io::file_ptr& reader) override {
    listed_member m{path, stats, reader.is_valid(), {}};
    if (m.has_reader) {
      abort_callback_dummy abort;
      FUZZ_REQUIRE(reader->get_position(abort) == 0);
      m.content = read_all(*reader);
      FUZZ_REQUIRE(m.content.size() == stats.size);
    }
    members.push_back(std::move(m));
    return members.size() < limit;
  }
};

// Thrown by string_sink when its limit is passed; not an I/O failure.
struct output_limit_reached {};

// A write-only string_file, not an in-memory file_buffer. Writes larger
// than `max_write` abort the run; content beyond `limit` throws
// output_limit_reached, which lets a target give up on inputs that expand
// to too much to compare quickly.
class string_sink : public string_file {
 public:
  uint32_t max_write = UINT32_MAX;
  size_t limit = SIZE_MAX;

  void write(const void* buffer, uint32_t count, abort_callback& abort) override {
    FUZZ_REQUIRE(count <= max_write);
    if (content.size() + count > limit) throw output_limit_reached();
    string_file::write(buffer, count, abort);
  }
};

// A new in-memory file holding `data`, at position 0.
inline sonovale_io::file_ptr memory_file(const uint8_t* data, size_t size) {
  return ::memory_file(std::string(reinterpret_cast<const char*>(data), size));
}

// Runs `statement`: its content, or null after exception_io_data.
template <typename F>
std::unique_ptr<std::string> attempt(F statement) {
  try {
    return std::make_unique<std::string>(statement());
  } catch (const sonovale_io::exception_io_data&) {
    return nullptr;
  }
}

// Keeps every checkpoint a view pass records.
class collecting_sink : public sonovale_io::checkpoint_sink {
 public:
  std::vector<sonovale_io::view_checkpoint> checkpoints;
  void add_checkpoint(sonovale_io::view_checkpoint&& checkpoint) override {
    checkpoints.push_back(std::move(checkpoint));
  }
};

// A view pass of `format` over `source` from `from` (null: the start),
// read to its end: its content, or null after exception_io_data.
inline std::unique_ptr<std::string> run_view_pass(sonovale_io::view_format& format,
                                                  const sonovale_io::file_ptr& source,
                                                  const sonovale_io::view_checkpoint* from,
                                                  collecting_sink& sink) {
  return attempt([&] {
    abort_callback_dummy abort;
    std::unique_ptr<sonovale_io::view_pass> pass = format.start(source, from, sink, abort);
    std::string content, piece(4099, '\0');
    for (;;) {
      size_t got = pass->decode(reinterpret_cast<uint8_t*>(piece.data()), piece.size(), abort);
      content.append(piece, 0, got);
      if (got < piece.size()) return content;
    }
  });
}

// The same content read by a segment pass (archive/segment_pass.h) that
// knows `checkpoints` (as one pass from the start recorded them), every
// checkpoint starting a segment, on two workers: its content, or null after
// exception_io_data. Null too when there are too few checkpoints for two
// segments: then `ran` is false.
inline std::unique_ptr<std::string> run_segment_pass(
    sonovale_io::view_format& format, const sonovale_io::file_ptr& source,
    const std::vector<sonovale_io::view_checkpoint>& checkpoints, bool& ran) {
  auto entry = std::make_shared<sonovale_io::content_entry>();
  for (const sonovale_io::view_checkpoint& c : checkpoints) {
    sonovale_io::view_checkpoint copy = c;
    entry->add_checkpoint(std::move(copy));
  }
  collecting_sink later;
  abort_callback_dummy abort;
  std::unique_ptr<sonovale_io::view_pass> pass =
      sonovale_io::start_segment_pass(format, source, entry, nullptr, later, 2, abort, 1);
  ran = pass != nullptr;
  if (!ran) return nullptr;
  return attempt([&] {
    std::string content, piece(4099, '\0');
    for (;;) {
      size_t got = pass->decode(reinterpret_cast<uint8_t*>(piece.data()), piece.size(), abort);
      content.append(piece, 0, got);
      if (got < piece.size()) return content;
    }
  });
}

}  // namespace fuzz
