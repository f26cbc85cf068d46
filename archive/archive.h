// Archive filesystems: the `archive` interface, the member callback, and
// `archive_impl`, which answers every filesystem operation on member paths
// for all formats on top of four operations each format supplies, and the
// extension rule they share.
#pragma once

#include <memory>

#include "io/filesystem.h"

namespace sonovale_io {

class archive;
class content_entry;
class view_format;

// The callback that list_members reports to. The slot order continues the
// abort callback's and is the binary contract with the host.
class BRENMOOR_SHARED member_callback : public abort_callback {
 public:
  // slot 3: one member: its member path, statistics and, when readers were
  // asked for, a file holding its content at position 0 (empty otherwise).
  // Returns true to go on.
  virtual bool on_member(archive* owner, const char* path, const file_stats& stats,
                         service_ptr_t<file>& reader) = 0;

 protected:
  ~member_callback() = default;
};

class BRENMOOR_SHARED archive : public filesystem {
 public:
  static constexpr GUID class_guid = {
      0xEC707440, 0xFA3E, 0x4D12, {0x98, 0x76, 0xFC, 0x36, 0x9F, 0x04, 0xD4, 0xA4}};

  // slot 17: reports every member of the archive at `path` to `callback`.
  // `reader` may hold the archive already open; when empty the archive is
  // opened with g_open. Throws exception_io_data, before reading anything,
  // when the path's extension is not one the format claims (slot 21).
  virtual void list_members(const char* path, service_ptr_t<file>& reader,
                            member_callback& callback, bool supply_readers) = 0;

 protected:
  ~archive() = default;
};

// The filesystem behaviour shared by the archive formats. Member paths are
// "unpack://" type "|" length "|" archive path "|" member.
class BRENMOOR_SHARED archive_impl : public archive {
 public:
  // Answers the archive and filesystem identifiers.
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;

  bool get_canonical_path(const char* path, plix::string_base& out) override;
  bool is_our_path(const char* path) override;
  bool get_display_path(const char* path, plix::string_base& out) override;
  void open(service_ptr_t<file>& out, const char* path, open_mode mode,
            abort_callback& abort) override;
  void remove_object(const char* path, abort_callback& abort) override;
  void move_object(const char* from, const char* to, abort_callback& abort) override;
  bool is_remote(const char* path) override;
  void get_stats(const char* path, file_stats& stats, bool& is_writable,
                 abort_callback& abort) override;
  bool make_reference_path(const char* path, const char* reference,
                           plix::string_base& out) override;
  bool resolve_reference_path(const char* path, const char* reference,
                              plix::string_base& out) override;
  void create_directory(const char* path, abort_callback& abort) override;
  void list_directory(const char* path, void* callback, abort_callback& abort) override;
  bool supports_folders() override { return false; }

  // Opens the archive at `path` for reading, as every operation of the
  // formats does. When `path` is a member path of a compressed format that
  // offers decoded views, and its compressed file can seek and tell its
  // size, the result is a decoded view of that member's content, sharing
  // the compressed file's content index entry (found by its canonical
  // path, size, time stamp and content fingerprint, which reads its first
  // and last 64 KiB) and stamped with its time stamp; otherwise it is what
  // g_open gives. Throws what g_open and the compressed file's get_size,
  // get_timestamp and reads throw (truncation when it holds fewer bytes
  // than its size says); decoding starts with the first read.
  static file_ptr open_archive(const char* path, abort_callback& abort);
  // As open_archive, for formats that need the file's size before they
  // read it (their trailer or index lies at its end): a decoded view that
  // does not know its size yet is first read whole into an in-memory file.
  static file_ptr open_sized_archive(const char* path, abort_callback& abort);
  // The content index entry that open_archive would share for the
  // compressed file `source`, opened from `path`, whose content `format`
  // decodes: made (or read from the index on disk) when there is none.
  // Null when `source` cannot seek or tell its size. Reads the file's
  // fingerprint, which moves its position; throws what its reads throw.
  static std::shared_ptr<content_entry> find_content_entry(const char* path, file& source,
                                                           view_format& format,
                                                           abort_callback& abort);

  // slot 18: "tar", "gz", "bz2", "xz" or "zst".
  virtual const char* get_type_name() = 0;
  // slot 19: statistics of the member `member` of the archive at
  // `archive_path`.
  virtual file_stats get_member_stats(const char* archive_path, const char* member,
                                      abort_callback& abort) = 0;
  // slot 20: opens the member for reading, positioned at 0.
  virtual void open_member(service_ptr_t<file>& out, const char* archive_path, const char* member,
                           abort_callback& abort) = 0;
  // slot 21: whether this format reads the archive at `path`, judged by its
  // extension in any case: the type name, or a short form the type claims
  // for compressed TAR archives ("tgz" for "gz"; see is_archive_extension).
  // list_members refuses every other path; hosts choose a service with it.
  virtual bool is_our_archive_extension(const char* path);

 protected:
  ~archive_impl() = default;
};

// The factory of an archive service, registered as a filesystem.
template <typename T>
class archive_factory_t : public service_factory_single_t<T, filesystem> {};

}  // namespace sonovale_io
