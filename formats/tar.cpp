#include "formats/tar.h"

#include <algorithm>
#include <cstring>

#include "archive/member_path.h"
#include "component/host_api.h"
#include "io/file_buffer.h"
#include "io/transfer.h"

using namespace sonovale_io;

namespace {

// Long names of 2^32 - 1 bytes or more cannot be held by a string.
constexpr uint64_t long_name_limit = UINT32_MAX;

}  // namespace

tar_reader::tar_reader(file_ptr& archive, abort_callback& abort)
    : archive_(archive), abort_(abort), timestamp_(archive->get_timestamp(abort)) {}

bool tar_reader::read_next_header() {
  unsigned end_blocks = 0;
  bool long_name_pending = false;
  plix::string8 long_name;
  for (;;) {
    archive_->seek(next_header_, abort_);
    archive_->read_object(header_, tar_block_size, abort_);
    next_header_ += tar_block_size;
    if (next_header_ == 0) throw exception_io_data();  // the header ended at 2^64

    if (header_[tar_name_offset] == 0) {
      if (++end_blocks == 2) return false;
      continue;
    }
    verify_tar_checksum(header_);

    if (long_name_pending) {
      name_.set_string(long_name.get_ptr(), long_name.get_length());
      long_name_pending = false;
    } else {
      name_.set_string(reinterpret_cast<const char*>(header_ + tar_name_offset), tar_name_width);
    }

    // A negative size would move the walk backwards, and a crafted archive
    // would then loop forever: refuse it whatever the entry's type.
    int64_t size = parse_tar_number(header_ + tar_size_offset, tar_size_width);
    if (size < 0) throw exception_io_data();
    size_ = static_cast<uint64_t>(size);
    data_position_ = next_header_;
    uint64_t rounded = (size_ + tar_block_size - 1) & ~uint64_t{tar_block_size - 1};
    if (rounded > UINT64_MAX - next_header_) throw exception_io_data();
    next_header_ += rounded;

    uint8_t type = header_[tar_type_offset];
    if (type == '0' || type == 0) return true;
    if (type == 'L') {
      if (size_ >= long_name_limit) throw exception_io_data();
      read_string_exact(long_name, *archive_, static_cast<uint32_t>(size_), abort_);
      long_name_pending = true;
    }
  }
}

file_ptr tar_reader::extract_member() {
  uint64_t archive_size = archive_->get_size(abort_);
  bool size_known = archive_size != unknown_size;
  if (size_known && size_ > archive_size - std::min(archive_size, data_position_))
    throw exception_io_data_truncation();
  service_ptr_t<file_buffer> member = new service_impl_t<file_buffer>(0, timestamp_);
  // Read straight into the member's storage, which spares a scratch buffer
  // and a copy of every byte. An archive of unknown size (a stream) may not
  // hold what the header claims: the storage then follows the bytes read.
  archive_->seek(data_position_, abort_);
  read_exact_into_file(*archive_, *member, size_, size_known, abort_);
  member->reopen(abort_);
  return file_ptr(member.get_ptr());
}

void archive_tar::list_members(const char* path, file_ptr& reader, member_callback& callback,
                               bool supply_readers) {
  char extension[32];
  if (_stricmp_utf8(get_file_extension(path, extension), get_type_name()) != 0)
    throw exception_io_data();
  file_ptr archive = reader;
  if (archive.is_empty()) filesystem::g_open(archive, path, open_mode_read, callback);

  tar_reader walker(archive, callback);
  file_ptr member;
  plix::string8 member_path;
  while (walker.read_next_header()) {
    make_member_path(member_path, *this, path, walker.name());
    if (supply_readers) {
      // Drop the previous member before making the next, so that at most one
      // member's content is held at a time.
      member.release();
      member = walker.extract_member();
    }
    if (!callback.on_member(this, member_path.get_ptr(), {walker.size(), walker.timestamp()},
                            member))
      break;
  }
}

namespace {

// Walks to the first regular member named exactly `member`; throws
// exception_io_not_found when the walk ends first.
void find_member(tar_reader& walker, const char* member) {
  while (walker.read_next_header())
    if (std::strcmp(walker.name(), member) == 0) return;
  throw exception_io_not_found();
}

}  // namespace

file_stats archive_tar::get_member_stats(const char* archive_path, const char* member,
                                         abort_callback& abort) {
  file_ptr archive;
  filesystem::g_open(archive, archive_path, open_mode_read, abort);
  tar_reader walker(archive, abort);
  find_member(walker, member);
  return {walker.size(), walker.timestamp()};
}

void archive_tar::open_member(file_ptr& out, const char* archive_path, const char* member,
                              abort_callback& abort) {
  file_ptr archive;
  filesystem::g_open(archive, archive_path, open_mode_read, abort);
  tar_reader walker(archive, abort);
  find_member(walker, member);
  out = walker.extract_member();
}
