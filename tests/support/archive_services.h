// A test host with the module's TAR, GZ and BZ2 archive services and the
// view formats registered, as the loaded module has them, and member paths
// of TAR archives inside compressed files.
#pragma once

#include <string>

#include "archive/content_index.h"
#include "archive/view_format.h"
#include "formats/bzip2/bz2_archive.h"
#include "formats/bzip2/bz2_view.h"
#include "formats/gzip/gzip_archive.h"
#include "formats/gzip/gzip_view.h"
#include "formats/tar/tar_archive.h"
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
    host.add_filesystem(&tar);
    host.add_filesystem(&gz);
    host.add_filesystem(&bz2);
    sonovale_io::content_index_clear();
  }
  ~archive_services() { sonovale_io::content_index_clear(); }

  // The member path of the TAR inside the compressed file at `path` of
  // type `kind` ("gz", "bz2"), whose one member is `inner`.
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
  test_host host;
};
