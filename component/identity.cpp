#include "component/identity.h"

#include <cstring>

#include "component/module.h"

bool componentversion_myimpl::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  return answer_class<componentversion>(this, out, id);
}

void componentversion_myimpl::write_module_name(plix::string_base& out) {
  out.set_string(module_name_text());
}

void componentversion_myimpl::write_display_name(plix::string_base& out) {
  out.set_string("Brenmoor");
}

void componentversion_myimpl::write_version(plix::string_base& out) { out.set_string("1.8"); }

void componentversion_myimpl::write_description(plix::string_base& out) {
  out.set_string(
      "Reads Unix tape archives, (.TAR) gzip archives, (.GZ)\n"
      "and bzip2 archives. (.BZ2)");
}

bool component_installation_validator_filename::query_class(service_ptr_t<service_base>& out, const GUID& id) {
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
