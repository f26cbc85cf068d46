// Test hosts with the module's services: the TAR, GZ, BZ2 and XZ archive
// services and their view formats registered, as the loaded module has
// them, and member paths of TAR archives inside compressed files; or every
// archive service and unpacker, without views.
#pragma once

#include <string>

#include "archive/content_index.h"
#include "archive/view_format.h"
#include "formats/bzip2/bz2_archive.h"
#include "formats/bzip2/bz2_view.h"
#include "formats/gzip/gzip_archive.h"
#include "formats/gzip/gzip_view.h"
#include "formats/tar/tar_archive.h"
#include "formats/xz/xz_archive.h"
#include "formats/xz/xz_view.h"
#include "formats/zstd/zstd_archive.h"
#include "tests/support/test_host.h"

class archive_services {
 public:
  archive_services() {
    // Loading the module registers the view formats; a test that links the
    // formats does not.
    if (sonovale_io::find_view_format("gz") == nullptr)
      sonovale_io::register_view_format(gzip_view_format());
    if (sonovale_io::find_view_format("bz2") == nullptr)
      sonovale_io::register_view_format(bz2_view_format());
    if (sonovale_io::find_view_format("xz") == nullptr)
      sonovale_io::register_view_format(xz_view_format());
    host.add_filesystem(&tar);
    host.add_filesystem(&gz);
    host.add_filesystem(&bz2);
    host.add_filesystem(&xz);
    sonovale_io::content_index_clear();
  }
  ~archive_services() { sonovale_io::content_index_clear(); }

  // The member path of the TAR inside the compressed file at `path` of
  // type `kind` ("gz", "bz2", "xz"), whose one member is `inner`.
  static std::string compressed_tar(const std::string& kind, const std::string& path,
                                    const std::string& inner = "x.tar") {
    return "unpack://" + kind + "|" + std::to_string(path.size()) + "|" + path + "|" + inner;
  }
  // The member path of `member` of that TAR.
  static std::string nested(const std::string& kind, const std::string& path,
                            const std::string& member, const std::string& inner = "x.tar") {
    std::string container = compressed_tar(kind, path, inner);
    return "unpack://tar|" + std::to_string(container.size()) + "|" + container + "|" + member;
  }

  // Declared before the host: the host drops its references first.
  service_impl_single_t<archive_tar> tar;
  service_impl_single_t<archive_gz> gz;
  service_impl_single_t<archive_bz2> bz2;
  service_impl_single_t<archive_xz> xz;
  test_host host;
};

// Every archive service and unpacker of the module, the archives registered
// as filesystems after the host's own in the order TAR, GZ, BZ2, XZ, ZST;
// no view format is registered.
struct module_services {
  module_services() {
    host.add_filesystem(&tar);
    host.add_filesystem(&gz);
    host.add_filesystem(&bz2);
    host.add_filesystem(&xz);
    host.add_filesystem(&zst);
  }

  // Declared before the host: the host drops its references first.
  service_impl_single_t<archive_tar> tar;
  service_impl_single_t<archive_gz> gz;
  service_impl_single_t<unpacker_gz> gz_unpacker;
  service_impl_single_t<archive_bz2> bz2;
  service_impl_single_t<unpacker_bz2> bz2_unpacker;
  service_impl_single_t<archive_xz> xz;
  service_impl_single_t<unpacker_xz> xz_unpacker;
  service_impl_single_t<archive_zst> zst;
  service_impl_single_t<unpacker_zst> zst_unpacker;
  test_host host;
};
