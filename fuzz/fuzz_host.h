// The fuzz targets' side of the test host (tests/support/test_host.h): a
// "fuzz://" filesystem that serves the fuzz input, the test host with the
// archive services under test, a member callback that records what a
// listing reports, a write-only file that collects bytes into a string (a
// file that is not in memory, for the writers that take another road for
// those), and the small steps the decoder targets share: input as an
// in-memory file, an attempt that turns exception_io_data into null, the
// whole-content roads (opening the member, unpacking, decoding into a file
// that is not in memory), and view passes read to their end.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "abi/unpacker.h"
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
// "fuzz://" serving the `size` bytes at `data` (which must outlive the
// host) and `services` registered as filesystems after its own.
class host {
 public:
  host(std::initializer_list<service_base*> services, const uint8_t* data, size_t size) {
    input_.content = data;
    input_.size = size;
    host_.add_filesystem(&input_);
    for (service_base* s : services) host_.add_filesystem(s);
  }

  input_filesystem& input() { return input_; }

  // The content of a member of the input file `archive_path`, opened
  // through `archive`; the file must stand at position 0 and carry the
  // input's time stamp. Throws what the open and the reads throw.
  std::string open_member(sonovale_io::archive_impl& archive, const char* archive_path) {
    abort_callback_dummy abort;
    sonovale_io::file_ptr out;
    archive.open_member(out, archive_path, "any", abort);
    FUZZ_REQUIRE(out->get_position(abort) == 0);
    FUZZ_REQUIRE(out->get_timestamp(abort) == input_.timestamp);
    return read_all(*out);
  }

 private:
  // Declared before the host: the host drops its references first.
  service_impl_single_t<input_filesystem> input_;
  test_host host_;
};

// Everything a file holds from its current position on.
inline std::string read_rest(sonovale_io::file& f) {
  return read_all(f);
}

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

// What the unpacker `service` makes of `data`, handed over standing in its
// middle: an unpacker decodes from the first byte anyway. Throws what it
// throws.
inline std::string unpack_from_middle(unpacker& service, const uint8_t* data, size_t size) {
  abort_callback_dummy abort;
  sonovale_io::file_ptr source = memory_file(data, size);
  source->seek(size / 2, abort);
  sonovale_io::file_ptr out;
  service.unpack_file(out, source, abort);
  return read_all(*out);
}

// What the whole-file decoder `decode_into` (called as the formats' decode
// functions are: source, abort, output) writes of `data` into a string_sink
// that takes writes of at most `max_write` bytes. Throws what it throws.
template <typename F>
std::string decode_into_sink(F decode_into, const uint8_t* data, size_t size,
                             uint32_t max_write = UINT32_MAX) {
  abort_callback_dummy abort;
  service_ptr_t<string_sink> sink = new service_impl_t<string_sink>();
  sink->max_write = max_write;
  sonovale_io::file_ptr out(sink.get_ptr());
  decode_into(memory_file(data, size), abort, out);
  return sink->content;
}

// What a reference decoder makes of the input: content (`ok`), a refusal,
// content too large to compare, or, where the module may decide either
// way, content that a success must give (`either`).
enum class verdict { ok, either, refused, too_big };

// Checks the result of one road to the content (null: exception_io_data)
// against the reference's verdict `v` and content `expected`.
inline void check_verdict(verdict v, const std::string& expected,
                          const std::unique_ptr<std::string>& got) {
  if (v == verdict::too_big) return;
  if (v != verdict::either) FUZZ_REQUIRE((got != nullptr) == (v == verdict::ok));
  if (got != nullptr) FUZZ_REQUIRE(*got == expected);
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

// Everything `pass` decodes, in pieces of an odd size; throws as it does.
inline std::string read_pass(sonovale_io::view_pass& pass, abort_callback& abort) {
  std::string content, piece(4099, '\0');
  for (;;) {
    size_t got = pass.decode(reinterpret_cast<uint8_t*>(piece.data()), piece.size(), abort);
    content.append(piece, 0, got);
    if (got < piece.size()) return content;
  }
}

// A view pass of `format` over `source` from `from` (null: the start),
// read to its end: its content, or null after exception_io_data.
inline std::unique_ptr<std::string> run_view_pass(sonovale_io::view_format& format,
                                                  const sonovale_io::file_ptr& source,
                                                  const sonovale_io::view_checkpoint* from,
                                                  collecting_sink& sink) {
  return attempt([&] {
    abort_callback_dummy abort;
    std::unique_ptr<sonovale_io::view_pass> pass = format.start(source, from, sink, abort);
    return read_pass(*pass, abort);
  });
}

// Checks that a view pass of `format` over `source` from each of the first
// 16 of `checkpoints` gives the rest of `expected`, the whole content.
inline void check_resumed_passes(sonovale_io::view_format& format,
                                 const sonovale_io::file_ptr& source,
                                 const std::vector<sonovale_io::view_checkpoint>& checkpoints,
                                 const std::string& expected) {
  for (size_t i = 0; i < checkpoints.size() && i < 16; ++i) {
    const sonovale_io::view_checkpoint& from = checkpoints[i];
    FUZZ_REQUIRE(from.output_position <= expected.size());
    collecting_sink later;
    std::unique_ptr<std::string> rest = run_view_pass(format, source, &from, later);
    FUZZ_REQUIRE(rest != nullptr && *rest == expected.substr(from.output_position));
  }
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
    return read_pass(*pass, abort);
  });
}

}  // namespace fuzz
