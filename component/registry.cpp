// The module's static initialisation, in load order: the factories (each
// registration inserts at the front, so the host sees them in reverse: the
// xz and zstd services, registered first, come after the other seven),
// the view formats after the TAR archive, and the fatal-signal handler.
// Everything is in this one file so that the order never depends on
// initialisation order across files.
#include "component/identity.h"
#include "component/module.h"
#include "formats/bzip2/bz2_archive.h"
#include "formats/bzip2/bz2_view.h"
#include "formats/gzip/gzip_archive.h"
#include "formats/gzip/gzip_view.h"
#include "formats/tar/tar_archive.h"
#include "formats/xz/xz_archive.h"
#include "formats/xz/xz_view.h"
#include "formats/zstd/zstd_archive.h"
#include "formats/zstd/zstd_view.h"

namespace {

service_factory_base* g_factory_head = nullptr;

}  // namespace

service_factory_base::service_factory_base(const GUID& id) : next(g_factory_head), class_id(&id) {
  g_factory_head = this;
}

service_factory_base* factory_list_head() { return g_factory_head; }

namespace {

// 8 to 11, last in the host's list: the ZST archive and unpacker, then the
// XZ archive and unpacker (each unpacker just before its archive there).
sonovale_io::archive_factory_t<archive_zst> g_archive_zst_factory;
unpacker_factory_t<unpacker_zst> g_unpacker_zst_factory;
sonovale_io::archive_factory_t<archive_xz> g_archive_xz_factory;
unpacker_factory_t<unpacker_xz> g_unpacker_xz_factory;
// 1, 2: the BZ2 archive and unpacker.
sonovale_io::archive_factory_t<archive_bz2> g_archive_bz2_factory;
unpacker_factory_t<unpacker_bz2> g_unpacker_bz2_factory;
// 3, 4: the GZ archive and unpacker.
sonovale_io::archive_factory_t<archive_gz> g_archive_gz_factory;
unpacker_factory_t<unpacker_gz> g_unpacker_gz_factory;
// 5: the TAR archive.
sonovale_io::archive_factory_t<archive_tar> g_archive_tar_factory;

// The formats whose member paths TAR walks read through decoded views.
struct view_format_registration {
  view_format_registration() {
    sonovale_io::register_view_format(bz2_view_format());
    sonovale_io::register_view_format(gzip_view_format());
    sonovale_io::register_view_format(xz_view_format());
    sonovale_io::register_view_format(zstd_view_format());
  }
} g_view_format_registration;

// 6, 7: the identity services.
service_factory_single_t<componentversion_myimpl, componentversion> g_componentversion_factory;
service_factory_single_t<component_installation_validator_filename,
                         component_installation_validator>
    g_validator_factory;

struct fatal_signal_installer {
  fatal_signal_installer() { install_fatal_signal_handler(); }
} g_fatal_signal_installer;

}  // namespace
