#include "tools/commands.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "archive/member_path.h"
#include "component/identity.h"
#include "tools/extract_safety.h"
#include "tools/member_listing.h"
#include "tools/member_selection.h"
#include "tools/mount_command.h"
#include "tools/output.h"
#include "tools/progress.h"
#include "tools/report_failure.h"
#include "tools/unpack_output.h"

using namespace sonovale_io;

namespace {

// Nested archives deeper than this are not listed: an archive that holds
// itself would otherwise be listed until the stack runs out.
constexpr int max_nesting = 32;
constexpr size_t copy_chunk = 64 * 1024;

struct context {
  sonovale_host& host;
  const arguments& args;
  int status = exit_ok;
  bool refused = false;

  abort_callback& abort() { return host.abort(); }
  void fail(std::string_view path, std::string_view message) {
    report_error(path, message);
    status = exit_error;
  }
  // Inside a catch block: reports the exception for `path` (report_failure,
  // which throws exception_aborted instead when the user aborted).
  void fail_current(std::string_view path) {
    report_failure(path, abort());
    status = exit_error;
  }
};

// Runs `work` for each path with a progress line; a failure of one path is
// reported and the next is tried. An abort shows as exception_aborted even
// when a layer turned it into another error on the way.
template <typename F>
void for_each_path(context& c, F work) {
  bool show = !c.args.quiet && ::isatty(STDERR_FILENO) == 1;
  for (const std::string& path : c.args.paths) {
    progress_line progress(c.host.native(), source_size(c.host, path, c.abort()), show);
    try {
      work(path);
    } catch (const std::exception&) {
      c.fail_current(path);
    }
  }
}

// ---- info ----

// The first componentversion service of the module; null when it has none.
componentversion* find_componentversion(const loaded_module& m) {
  for (const module_service& s : m.services()) {
    if (s.kind == service_kind::componentversion)
      return static_cast<componentversion*>(s.instance.get_ptr());
  }
  return nullptr;
}

int run_info(context& c) {
  const loaded_module& m = *c.host.module();
  componentversion* version = find_componentversion(m);
  component_installation_validator* validator = nullptr;
  for (const module_service& s : m.services()) {
    if (s.kind == service_kind::installation_validator && validator == nullptr) {
      validator = static_cast<component_installation_validator*>(s.instance.get_ptr());
    }
  }
  std::string text;
  if (version != nullptr) {
    plix::string8 name, number, description, module_name;
    version->write_display_name(name);
    version->write_version(number);
    version->write_description(description);
    version->write_module_name(module_name);
    std::string indented;
    for (const char* p = description.get_ptr(); *p != '\0'; ++p) {
      indented += *p;
      if (*p == '\n') indented += "  ";
    }
    text += std::string("name: ") + name.get_ptr() + "\n";
    text += std::string("version: ") + number.get_ptr() + "\n";
    text += "description: " + indented + "\n";
    text += std::string("module name: ") + module_name.get_ptr() + "\n";
  } else {
    text += "name: (the module registers no componentversion service)\n";
  }
  text += "module file: " + human_text(m.path()) + "\n";
  if (validator != nullptr) {
    text += std::string("installation check: ") +
            (validator->check_installation() ? "passed" : "failed") + "\n";
  } else {
    text += "installation check: (no validator registered)\n";
  }
  text += "services:\n";
  for (const module_service& s : m.services()) {
    text += std::string("  ") + service_kind_name(s.kind);
    if (!s.type.empty()) text += " " + s.type;
    text += "\n";
  }
  output_write(text);
  return c.status;
}

// ---- list ----

class listing_callback : public host_member_callback {
 public:
  listing_callback(context& c, std::string prefix, int depth)
      : host_member_callback(c.abort()), c_(c), prefix_(std::move(prefix)), depth_(depth) {}

 protected:
  bool handle(archive*, const char* path, const file_stats& stats,
              service_ptr_t<file>& reader) override {
    std::string member = member_name_of(path);
    std::string line;
    if (c_.args.json) {
      line = "{\"path\": " + json_string(path) + ", \"member\": " + json_string(member) +
             ", \"size\": " + std::to_string(stats.size) +
             ", \"timestamp\": " + std::to_string(stats.timestamp) + "}\n";
    } else {
      std::string size = stats.size == unknown_size ? "unknown" : std::to_string(stats.size);
      if (size.size() < 12) size.insert(0, 12 - size.size(), ' ');
      line =
          size + "  " + format_time(stats.timestamp) + "  " + human_text(prefix_ + member) + "\n";
    }
    output_write(line);
    if (c_.args.recursive && c_.host.archive_for(path) != nullptr)
      list_nested(path, member, reader);
    return true;
  }

 private:
  void list_nested(const char* path, const std::string& member, service_ptr_t<file>& reader);

  context& c_;
  std::string prefix_;
  int depth_;
};

void list_archive(context& c, const std::string& path, service_ptr_t<file> reader,
                  const std::string& prefix, int depth) {
  archive_impl& a = require_archive(c.host, path);
  listing_callback callback(c, prefix, depth);
  callback.run(a, path, std::move(reader), false);
}

void listing_callback::list_nested(const char* path, const std::string& member,
                                   service_ptr_t<file>& reader) {
  if (depth_ + 1 > max_nesting) {
    c_.fail(path, "archives nested too deeply; not listed");
    return;
  }
  try {
    // A reader handed over (formats that decode anyway) saves decoding the
    // member a second time; otherwise the nested listing opens the member.
    if (reader.is_valid()) reader->reopen(c_.abort());
    list_archive(c_, path, reader, prefix_ + member + "|", depth_ + 1);
  } catch (const std::exception&) {
    c_.fail_current(path);
  }
}

int run_list(context& c) {
  for_each_path(c, [&](const std::string& path) { list_archive(c, path, {}, "", 0); });
  return c.status;
}

// ---- members named with -m (cat, stat, extract) ----

// What a command does with a member a name selects: `reader` holds its
// content at position 0 when the listing handed it over, else is empty.
// A failure is reported for the member and the walk goes on.
using member_action =
    std::function<void(const char* path, const file_stats& stats, file_ptr& reader)>;

// A compressed file of one member (a type that also has an unpacker: gz,
// bz2, xz, zst) rather than an archive of many.
bool is_single_member_type(sonovale_host& host, archive_impl& a) {
  std::string type = a.get_type_name();
  for (const unpacker_service& u : host.unpackers()) {
    if (u.type == type) return true;
  }
  return false;
}

struct selection_walk {
  context& c;
  member_selection& names;
  bool readers;  // the action wants each member's content
  const member_action& act;
};

void select_members(selection_walk& w, const std::string& path, file_ptr reader,
                    const member_selection::cursor& at, int depth);

class selection_callback : public host_member_callback {
 public:
  selection_callback(selection_walk& w, const member_selection::cursor& at, bool pass_through,
                     int depth)
      : host_member_callback(w.c.abort()),
        w_(w),
        at_(at),
        pass_through_(pass_through),
        depth_(depth) {}

 protected:
  bool handle(archive*, const char* path, const file_stats& stats,
              service_ptr_t<file>& reader) override {
    if (pass_through_ && w_.c.host.archive_for(path) != nullptr) {
      // A compressed archive (a.tar.gz) stands for the archive inside it,
      // as tar reads it: the names go on with that archive's members, and
      // its failures are the compressed archive's.
      select_members(w_, path, reader, at_, depth_ + 1);
      return true;
    }
    member_selection::cursor into;
    if (w_.names.match(at_, member_name_of(path), into)) {
      try {
        if (reader.is_valid()) reader->reopen(abort_);
        w_.act(path, stats, reader);
      } catch (const std::exception&) {
        w_.c.fail_current(path);
      }
    }
    if (!into.empty() && w_.c.host.archive_for(path) != nullptr) {
      try {
        if (reader.is_valid()) reader->reopen(abort_);
        select_members(w_, path, reader, into, depth_ + 1);
      } catch (const std::exception&) {
        w_.c.fail_current(path);
      }
    }
    return true;
  }

 private:
  selection_walk& w_;
  const member_selection::cursor& at_;
  bool pass_through_;
  int depth_;
};

// Lists the archive at `path` (`reader`, when set, holding it) and calls
// the action on each member the names at `at` select, going into nested
// archives that names reach into. A compressed archive is listed without
// readers: when its one member is an archive, that archive is read through
// the module's decoded view rather than decoded whole first.
void select_members(selection_walk& w, const std::string& path, file_ptr reader,
                    const member_selection::cursor& at, int depth) {
  if (depth > max_nesting) throw std::runtime_error("archives nested too deeply; not listed");
  archive_impl& a = require_archive(w.c.host, path);
  bool pass_through = is_single_member_type(w.c.host, a);
  selection_callback callback(w, at, pass_through, depth);
  callback.run(a, path, std::move(reader), w.readers && !pass_through);
}

// Runs `act` on the members of the archives in args.paths that args.members
// select, then reports each name that selected none, as tar does.
int run_selected(context& c, bool readers, const member_action& act) {
  member_selection names(c.args.members);
  selection_walk w{c, names, readers, act};
  for_each_path(c, [&](const std::string& path) { select_members(w, path, {}, names.start(), 0); });
  for (const std::string& name : names.unmatched()) c.fail(name, "Not found in archive");
  return c.status;
}

// ---- stat ----

// Writes one record of `stat`; records after the first are set apart by
// an empty line.
void write_stat(std::string_view path, const file_stats& stats, bool writable, bool& first) {
  std::string text = first ? "" : "\n";
  first = false;
  text += "path: " + human_text(path) + "\n";
  text += "size: " + (stats.size == unknown_size ? "unknown" : std::to_string(stats.size)) + "\n";
  text += "time: " + format_time(stats.timestamp) + "\n";
  text += "timestamp: " + std::to_string(stats.timestamp) + "\n";
  text += std::string("writable: ") + (writable ? "yes" : "no") + "\n";
  output_write(text);
}

int run_stat(context& c) {
  bool first = true;
  if (!c.args.members.empty()) {
    // Members are never writable; the listing's statistics are the ones
    // get_stats gives.
    return run_selected(c, false, [&](const char* path, const file_stats& stats, file_ptr&) {
      write_stat(path, stats, false, first);
    });
  }
  for_each_path(c, [&](const std::string& path) {
    service_ptr_t<filesystem> fs;
    filesystem::g_require_filesystem(fs, path.c_str());
    file_stats stats{};
    bool writable = false;
    fs->get_stats(path.c_str(), stats, writable, c.abort());
    write_stat(path, stats, writable, first);
  });
  return c.status;
}

// ---- cat ----

// Copies `f` from its position to its end into `sink`.
template <typename Sink>
void copy_file(file& f, abort_callback& abort, Sink sink) {
  std::unique_ptr<char[]> buffer(new char[copy_chunk]);
  for (;;) {
    uint32_t got = f.read(buffer.get(), copy_chunk, abort);
    sink(std::string_view(buffer.get(), got));
    if (got < copy_chunk) return;
  }
}

int run_cat(context& c) {
  if (!c.args.members.empty()) {
    return run_selected(c, true, [&](const char* path, const file_stats&, file_ptr& reader) {
      file_ptr f = reader;
      if (f.is_empty()) filesystem::g_open(f, path, open_mode_read, c.abort());
      copy_file(*f, c.abort(), [](std::string_view bytes) { output_write(bytes); });
    });
  }
  for_each_path(c, [&](const std::string& path) {
    file_ptr f;
    filesystem::g_open(f, path.c_str(), open_mode_read, c.abort());
    copy_file(*f, c.abort(), [](std::string_view bytes) { output_write(bytes); });
  });
  return c.status;
}

// ---- unpack ----

// Tries the unpackers, the one for the path's extension first. When every
// one fails, the error of the extension's unpacker is the one that counts;
// without such an unpacker the file is reported as unsupported.
file_ptr unpack(context& c, const std::string& path) {
  std::vector<unpacker_service> unpackers = c.host.unpackers();
  if (unpackers.empty()) throw std::runtime_error("the module registers no unpacker");
  auto matches = [&](const unpacker_service& u) {
    return !u.type.empty() && is_archive_extension(path.c_str(), u.type.c_str());
  };
  std::stable_partition(unpackers.begin(), unpackers.end(), matches);
  bool have_match = matches(unpackers.front());

  file_ptr source;
  filesystem::g_open(source, path.c_str(), open_mode_read, c.abort());
  std::exception_ptr first_error;
  for (size_t i = 0; i < unpackers.size(); ++i) {
    if (i > 0) {
      if (!source->can_seek()) break;  // a stream can be read only once
      source->seek(0, c.abort());
    }
    file_ptr result;
    try {
      unpackers[i].service->unpack_file(result, source, c.abort());
      return result;
    } catch (const exception_io_data&) {
      if (c.abort().is_aborting()) throw exception_aborted();
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (have_match && first_error) std::rethrow_exception(first_error);
  throw exception_io_data();
}

int run_unpack(context& c) {
  for_each_path(c, [&](const std::string& path) {
    file_ptr result = unpack(c, path);
    if (!c.args.has_output) {
      copy_file(*result, c.abort(), [](std::string_view bytes) { output_write(bytes); });
      return;
    }
    try {
      unpack_output out(c.args.output, c.abort(), c.host.abort().wake_fd());
      copy_file(*result, c.abort(), [&](std::string_view bytes) { out.write(bytes); });
      out.commit();
    } catch (const std::exception&) {
      // The output file is the one at fault; name it.
      c.fail_current(c.args.output);
    }
  });
  return c.status;
}

// ---- extract ----

// Writes one member below the target folder, or reports why not.
void extract_member(context& c, extractor& target, const char* path, const file_stats& stats,
                    file_ptr& reader) {
  member_target plan = plan_member(member_name_of(path));
  try {
    file_ptr content = reader;
    if (plan.refusal == nullptr && content.is_empty()) {
      filesystem::g_open(content, path, open_mode_read, c.abort());
    }
    if (content.is_valid()) content->reopen(c.abort());
    const char* refusal = plan.refusal != nullptr
                              ? plan.refusal
                              : target.write(plan, *content, stats.timestamp, c.abort());
    if (refusal != nullptr) {
      report_error(path, refusal);
      c.refused = true;
    }
  } catch (const std::exception&) {
    c.fail_current(path);
  }
}

class extract_callback : public host_member_callback {
 public:
  extract_callback(context& c, extractor& target)
      : host_member_callback(c.abort()), c_(c), target_(target) {}

 protected:
  bool handle(archive*, const char* path, const file_stats& stats,
              service_ptr_t<file>& reader) override {
    extract_member(c_, target_, path, stats, reader);
    return true;
  }

 private:
  context& c_;
  extractor& target_;
};

int run_extract(context& c) {
  std::string folder = c.args.directory.empty() ? "." : c.args.directory;
  std::unique_ptr<extractor> target;
  try {
    target = std::make_unique<extractor>(folder);
  } catch (const std::exception& e) {
    c.fail(folder, e.what());
    return c.status;
  }
  if (!c.args.members.empty()) {
    run_selected(c, true, [&](const char* path, const file_stats& stats, file_ptr& reader) {
      extract_member(c, *target, path, stats, reader);
    });
  } else {
    for_each_path(c, [&](const std::string& path) {
      archive_impl& a = require_archive(c.host, path);
      extract_callback callback(c, *target);
      callback.run(a, path, {}, true);
    });
  }
  if (c.status == exit_ok && c.refused) c.status = exit_refused;
  return c.status;
}

}  // namespace

std::string module_version_text(const sonovale_host& host) {
  const loaded_module& m = *host.module();
  componentversion* version = find_componentversion(m);
  if (version == nullptr) {
    return "module: " + human_text(m.path()) +
           "\n  (the module registers no componentversion service)\n";
  }
  plix::string8 name, number;
  version->write_display_name(name);
  version->write_version(number);
  std::string text = std::string("module ") + name.get_ptr() + " " + number.get_ptr() + ": " +
                     human_text(m.path()) + "\n";
  service_ptr_t<service_base> answer;
  if (!version->query_class(answer, componentversion_libraries::class_guid)) {
    return text + "  (the module does not report its libraries)\n";
  }
  plix::string8 libraries;
  static_cast<componentversion_libraries*>(answer.get_ptr())->write_library_versions(libraries);
  for (const char* p = libraries.get_ptr(); *p != '\0';) {
    const char* end = std::strchr(p, '\n');
    if (end == nullptr) end = p + std::strlen(p);
    text += "  " + human_text(std::string_view(p, static_cast<size_t>(end - p))) + "\n";
    p = *end == '\n' ? end + 1 : end;
  }
  return text;
}

int run_command(sonovale_host& host, const arguments& args) {
  context c{host, args};
  switch (args.command) {
    case command_id::info: return run_info(c);
    case command_id::list: return run_list(c);
    case command_id::stat: return run_stat(c);
    case command_id::cat: return run_cat(c);
    case command_id::unpack: return run_unpack(c);
    case command_id::extract: return run_extract(c);
    case command_id::mount: return run_mount(host, args);
    case command_id::umount: return run_umount(args);
    case command_id::none: break;
  }
  return exit_usage;
}
