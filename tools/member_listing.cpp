#include "tools/member_listing.h"

#include <stdexcept>

#include "archive/member_path.h"

using namespace sonovale_io;

bool host_member_callback::on_member(archive* owner, const char* path, const file_stats& stats,
                                     service_ptr_t<file>& reader) {
  try {
    return handle(owner, path, stats, reader);
  } catch (...) {
    pending_ = std::current_exception();
    return false;
  }
}

void host_member_callback::run(archive_impl& a, const std::string& path, service_ptr_t<file> reader,
                               bool supply_readers) {
  try {
    a.list_members(path.c_str(), reader, *this, supply_readers);
  } catch (...) {
    if (pending_) std::rethrow_exception(pending_);
    throw;
  }
  if (pending_) std::rethrow_exception(pending_);
}

archive_impl& require_archive(sonovale_host& host, const std::string& path) {
  archive_impl* a = host.archive_for(path.c_str());
  if (a == nullptr) {
    char extension[32];
    get_file_extension(path.c_str(), extension);
    throw std::runtime_error(std::string("no registered archive type for the extension '") +
                             extension + "'");
  }
  return *a;
}

std::string member_name_of(const char* member_path) {
  plix::string8 archive_path, member;
  if (!parse_member_path(member_path, archive_path, member)) return member_path;
  return member.get_ptr();
}

std::string source_file(const std::string& path) {
  std::string p = path;
  while (p.compare(0, member_path_prefix_length, member_path_prefix) == 0) {
    plix::string8 archive_path, member;
    if (!parse_member_path(p.c_str(), archive_path, member)) break;
    p = archive_path.get_ptr();
  }
  return p;
}

uint64_t source_size(sonovale_host& host, const std::string& path, abort_callback& abort) {
  std::string local = source_file(path);
  if (!host.native().is_our_path(local.c_str())) return unknown_size;
  try {
    file_stats stats{};
    bool writable = false;
    host.native().get_stats(local.c_str(), stats, writable, abort);
    return stats.size;
  } catch (const std::exception&) {
    return unknown_size;
  }
}
