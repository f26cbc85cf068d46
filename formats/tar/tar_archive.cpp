#include "formats/tar/tar_archive.h"

#include <cstring>
#include <memory>

#include "archive/decoded_view.h"
#include "archive/member_path.h"
#include "formats/tar/tar_member_table.h"
#include "formats/tar/tar_walk.h"

using namespace sonovale_io;

namespace {

// What the TAR walk reads: the archive file, and when it is a decoded view
// of a compressed file, the member table kept for that file.
struct walked_archive {
  file_ptr file;
  decoded_view* view = nullptr;
  std::shared_ptr<tar_member_table> table;

  explicit walked_archive(file_ptr f) : file(std::move(f)) {
    view = dynamic_cast<decoded_view*>(file.get_ptr());
    if (view != nullptr) attach_table();
  }

  void attach_table() {
    table = view->entry().attachment<tar_member_table>([](const std::vector<uint8_t>& stored) {
      auto made = std::make_shared<tar_member_table>();
      // What the index on disk held, if anything; its rows are confirmed
      // before a member's bytes are served.
      if (!stored.empty() && !made->restore(stored)) made = std::make_shared<tar_member_table>();
      return made;
    });
  }

  // A damaged container fails as decoding it whole would, whatever the TAR
  // inside it holds: when a walk through a view fails, or ends without the
  // member, the container is checked to its end, and its failure, if any,
  // is the one that goes on.
  void check_container(abort_callback& abort) {
    if (view != nullptr) view->verify_to_end(abort);
  }

  // Starts a new, empty table in place of one read from disk.
  void replace_table() {
    view->entry().drop_attachment();
    attach_table();
  }

  // What the content index kept disagrees with the content: forget it all
  // (checkpoints too) and walk with a new, empty table.
  void forget_index() {
    view->entry().reset();
    attach_table();
  }
};

// A member found by name, and whether it came from the table unconfirmed.
struct found_member {
  tar_recorded_member recorded;
  bool from_table = false;
};

// The first member named `name`; when none has that name, the first whose
// legacy name is `name`, so that stored member paths that carry a legacy
// name keep opening; such a match also stands when the walk fails further
// on, past the member. Recorded members are looked up without walking,
// and a walk goes on from the last one recorded. Throws
// exception_io_not_found when neither exists.
found_member find_member(walked_archive& archive, const char* name, abort_callback& abort) {
  found_member found;
  tar_member_table* table = archive.table.get();
  if (table != nullptr && table->find(name, found.recorded)) {
    found.from_table = true;
    return found;
  }
  bool have_legacy = table != nullptr && table->find_legacy(name, found.recorded);
  if (table != nullptr && table->restored() && !(have_legacy && table->complete())) {
    // A table from disk answers for the rows it has, each confirmed before
    // use; where it ends, and that the member is not in it, are hints. The
    // walk goes from the start with a new table.
    archive.replace_table();
    table = archive.table.get();
    have_legacy = false;
  }
  found.from_table = have_legacy;
  if (table == nullptr || !table->complete()) {
    tar_reader walker(archive.file, abort, table != nullptr ? table->end() : tar_walk_state{});
    try {
      for (;;) {
        tar_walk_state before = walker.state();
        if (!read_next_recorded(walker, table)) break;
        const tar_member& m = walker.member();
        if (std::strcmp(m.name.get_ptr(), name) == 0) return {{before, m}, false};
        if (!have_legacy && !m.legacy_name.is_empty() &&
            std::strcmp(m.legacy_name.get_ptr(), name) == 0) {
          found = {{before, m}, false};
          have_legacy = true;
        }
      }
    } catch (const exception_io_data&) {
      if (!have_legacy) {
        archive.check_container(abort);
        throw;
      }
    }
  }
  if (!have_legacy) {
    archive.check_container(abort);
    throw exception_io_not_found();
  }
  return found;
}

// As find_member, confirmed: a member taken from the table is read again
// where the table says it lies, and when that entry is no longer the member
// recorded, the index is forgotten and the member found by a new walk.
tar_member find_confirmed_member(walked_archive& archive, const char* name, abort_callback& abort) {
  found_member found = find_member(archive, name, abort);
  if (found.from_table && !tar_recorded_member_still_there(archive.file, found.recorded, abort)) {
    archive.forget_index();
    found = find_member(archive, name, abort);
  }
  return found.recorded.member;
}

}  // namespace

void archive_tar::list_members(const char* path, file_ptr& reader, member_callback& callback,
                               bool supply_readers) {
  if (!is_our_archive_extension(path)) throw exception_io_data();
  walked_archive archive(reader.is_valid() ? reader : open_archive(path, callback));
  // Every member's bytes are read in turn: the whole content, once.
  if (supply_readers && archive.view != nullptr) archive.view->read_to_the_end();
  tar_reader walker(archive.file, callback);
  file_ptr content;
  plix::string8 member_path;
  auto report = [&](const tar_member& m) {
    make_member_path(member_path, *this, path, m.name.get_ptr());
    if (supply_readers) {
      // Drop the previous member before making the next, so that at most one
      // member's content is held at a time.
      content.release();
      content = walker.extract_member(m);
    }
    return callback.on_member(this, member_path.get_ptr(), {m.size, walker.timestamp()}, content);
  };

  if (!supply_readers && archive.table && archive.table->complete() &&
      archive.view->entry().verified()) {
    // The whole content was walked and checked before: names and sizes
    // come from the table. A listing with readers walks again, as it
    // decodes every member's bytes anyway.
    for (const tar_recorded_member& r : archive.table->members()) {
      if (!report(r.member)) return;
    }
    return;
  }
  try {
    while (read_next_recorded(walker, archive.table.get())) {
      if (!report(walker.member())) return;
    }
    // A listing vouches for the whole container: what follows the end
    // blocks is decoded and checked too, as decoding it whole would.
    archive.check_container(callback);
  } catch (const exception_io_data&) {
    archive.check_container(callback);
    throw;
  }
}

file_stats archive_tar::get_member_stats(const char* archive_path, const char* member,
                                         abort_callback& abort) {
  walked_archive archive(open_archive(archive_path, abort));
  uint64_t size = find_member(archive, member, abort).recorded.member.size;
  return {size, archive.file->get_timestamp(abort)};
}

void archive_tar::open_member(file_ptr& out, const char* archive_path, const char* member,
                              abort_callback& abort) {
  walked_archive archive(open_archive(archive_path, abort));
  tar_member found = find_confirmed_member(archive, member, abort);
  tar_reader walker(archive.file, abort);
  out = walker.extract_member(found);
}
