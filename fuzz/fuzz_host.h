// A small in-process host for the format fuzz targets: one filesystem that
// serves the fuzz input under "fuzz://" paths, the host's "tempmem://"
// filesystem, and the archive services under test, all installed as the
// module's host API for the host's lifetime. Also a member callback that
// records what a listing reports, a write-only file that collects bytes
// into a string (a file that is not in memory, for the writers that take
// another road for those), and the small steps the decoder targets share:
// input as an in-memory file, an attempt that turns exception_io_data into
// null, and a view pass read to its end.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "abi/host_api.h"
#include "archive/archive.h"
#include "archive/view_format.h"
#include "host/service_registry.h"
#include "host/tempmem_filesystem.h"
#include "io/file_buffer.h"

namespace fuzz {

// Aborts the run, naming the failed check, unless `condition` holds.
#define FUZZ_REQUIRE(condition) ::fuzz::require_at(condition, #condition, __LINE__)
inline void require_at(bool condition, const char* text, int line) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d: %s\n", line, text);
  std::abort();
}

// Every "fuzz://" path opens as a fresh in-memory copy of `content`.
class input_filesystem : public sonovale_io::filesystem {
 public:
  const uint8_t* content = nullptr;
  size_t size = 0;
  uint64_t timestamp = 132000000000000000ull;

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override {
    if (!(id == filesystem::class_guid)) return false;
    out = this;
    return true;
  }
  bool get_canonical_path(const char*, plix::string_base&) override { return false; }
  bool is_our_path(const char* path) override { return std::strncmp(path, "fuzz://", 7) == 0; }
  bool get_display_path(const char*, plix::string_base&) override { return false; }
  void open(sonovale_io::file_ptr& out, const char*, sonovale_io::open_mode mode,
            abort_callback& abort) override {
    if (mode != sonovale_io::open_mode_read) throw sonovale_io::exception_io_denied();
    out = open_input(abort);
  }
  void remove_object(const char*, abort_callback&) override {}
  void move_object(const char*, const char*, abort_callback&) override {}
  bool is_remote(const char*) override { return false; }
  void get_stats(const char*, sonovale_io::file_stats& stats, bool& is_writable,
                 abort_callback&) override {
    stats = {size, timestamp};
    is_writable = false;
  }
  bool make_reference_path(const char*, const char*, plix::string_base&) override { return false; }
  bool resolve_reference_path(const char*, const char*, plix::string_base&) override {
    return false;
  }
  void create_directory(const char*, abort_callback&) override {}
  void list_directory(const char*, void*, abort_callback&) override {}
  bool supports_folders() override { return false; }

  sonovale_io::file_ptr open_input(abort_callback& abort) {
    sonovale_io::file_ptr f = make_file_buffer(0, timestamp);
    f->write(content, static_cast<uint32_t>(size), abort);
    f->reopen(abort);
    return f;
  }
};

// Installs itself as the module's host API. `services` are registered as
// filesystems after "fuzz://" and "tempmem://".
class host {
 public:
  explicit host(std::initializer_list<service_base*> services) {
    registry_.add(sonovale_io::filesystem::class_guid, &input_);
    registry_.add(sonovale_io::filesystem::class_guid, &tempmem_);
    for (service_base* s : services) registry_.add(sonovale_io::filesystem::class_guid, s);
    set_module_host_api(&registry_);
  }
  ~host() {
    set_module_host_api(nullptr);
    registry_.clear();
  }
  host(const host&) = delete;
  host& operator=(const host&) = delete;

  input_filesystem& input() { return input_; }
  void set_input(const uint8_t* data, size_t size) {
    input_.content = data;
    input_.size = size;
  }

 private:
  service_registry registry_;
  service_impl_single_t<input_filesystem> input_;
  service_impl_single_t<tempmem_filesystem> tempmem_;
};

// Everything a file holds from its current position on.
inline std::string read_rest(sonovale_io::file& f) {
  abort_callback_dummy abort;
  std::string out;
  char chunk[65536];
  for (;;) {
    uint32_t got = f.read(chunk, sizeof chunk, abort);
    out.append(chunk, got);
    if (got < sizeof chunk) return out;
  }
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
      m.content = read_rest(*reader);
      FUZZ_REQUIRE(m.content.size() == stats.size);
    }
    members.push_back(std::move(m));
    return members.size() < limit;
  }
};

// Thrown by string_sink when its limit is passed; not an I/O failure.
struct output_limit_reached {};

// A write-only file that appends to `content`: not an in-memory file_buffer.
// Writes larger than `max_write` abort the run; content beyond `limit`
// throws output_limit_reached, which lets a target give up on inputs that
// expand to too much to compare quickly.
class string_sink : public sonovale_io::file {
 public:
  std::string content;
  uint32_t max_write = UINT32_MAX;
  size_t limit = SIZE_MAX;

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override {
    if (!(id == file::class_guid)) return false;
    out = static_cast<file*>(this);
    return true;
  }
  uint32_t read(void*, uint32_t, abort_callback&) override { return 0; }
  void write(const void* buffer, uint32_t count, abort_callback&) override {
    FUZZ_REQUIRE(count <= max_write);
    if (content.size() + count > limit) throw output_limit_reached();
    content.append(static_cast<const char*>(buffer), count);
  }
  uint64_t get_size(abort_callback&) override { return content.size(); }
  uint64_t get_position(abort_callback&) override { return content.size(); }
  void resize(uint64_t, abort_callback&) override { throw sonovale_io::exception_io_denied(); }
  void seek(uint64_t, abort_callback&) override { throw sonovale_io::exception_io_denied(); }
  bool can_seek() override { return false; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return false; }
  void on_hint(void*) override {}
  uint64_t get_timestamp(abort_callback&) override { return 0; }
  void reopen(abort_callback&) override { throw sonovale_io::exception_io_denied(); }
  bool is_remote() override { return false; }
};

// A new in-memory file holding `data`, at position 0.
inline sonovale_io::file_ptr memory_file(const uint8_t* data, size_t size) {
  abort_callback_dummy abort;
  sonovale_io::file_ptr f = make_file_buffer(0, 0);
  f->write(data, static_cast<uint32_t>(size), abort);
  f->reopen(abort);
  return f;
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

}  // namespace fuzz
