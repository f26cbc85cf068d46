#include "component/identity.h"

#if BRENMOOR_ISAL
#include <isa-l.h>
#endif
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <string>

#include "component/module.h"

bool componentversion_myimpl::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<componentversion>(this, out, id) ||
         answer_class<componentversion_libraries>(this, out, id);
}

void componentversion_myimpl::write_module_name(plix::string_base& out) {
  out.set_string(module_name_text());
}

void componentversion_myimpl::write_display_name(plix::string_base& out) {
  out.set_string("Brenmoor");
}

void componentversion_myimpl::write_version(plix::string_base& out) {
  out.set_string("1.8");
}

void componentversion_myimpl::write_description(plix::string_base& out) {
  out.set_string(
      "Reads Unix tape archives, (.TAR) gzip archives, (.GZ)\n"
      "and bzip2 archives. (.BZ2)");
}

void componentversion_myimpl::write_library_versions(plix::string_base& out) {
  std::string text = std::string("zlib ") + zlibVersion() + "\n";
#if BRENMOOR_ISAL
  // ISA-L has no call that tells its version; its header does.
  std::string isal = std::to_string(ISAL_MAJOR_VERSION) + "." + std::to_string(ISAL_MINOR_VERSION) +
                     "." + std::to_string(ISAL_PATCH_VERSION);
  text += "ISA-L " + isal + " (from its header at build time)\n";
#else
  text += "ISA-L not built in (zlib alone inflates gzip)\n";
#endif
  text += std::string("liblzma ") + lzma_version_string() + "\n";
  text += std::string("libzstd ") + ZSTD_versionString() + "\n";
  out.set_string(text.c_str());
}

bool component_installation_validator_filename::query_class(service_ptr_t<service_base>& out,
                                                            const GUID& id) {
  return answer_class<component_installation_validator>(this, out, id);
}

bool component_installation_validator_filename::check_installation() {
  const char* path = module_path_text();
  const char* name = path;
  for (const char* p = path; *p != 0; ++p) {
    if (*p == '\\' || *p == '/' || *p == '|' || *p == ':') name = p + 1;
  }
  return std::strcmp(name, expected_name) == 0;
}
