// Component identity: who the component is, and whether it is installed
// under its own file name.
#pragma once

#include "abi/service.h"
#include "io/string.h"

class BRENMOOR_SHARED componentversion : public service_base {
 public:
  static constexpr GUID class_guid = {
      0x10BB3EBD, 0xDDF7, 0x4975, {0xA3, 0xCC, 0x23, 0x08, 0x48, 0x29, 0x45, 0x3E}};

  virtual void write_module_name(plix::string_base& out) = 0;  // slot 4
  virtual void write_display_name(plix::string_base& out) = 0;  // slot 5
  virtual void write_version(plix::string_base& out) = 0;       // slot 6
  virtual void write_description(plix::string_base& out) = 0;   // slot 7

 protected:
  ~componentversion() = default;
};

// The component's identity and the libraries it uses. The componentversion
// service answers this identifier too; a host that does not ask sees the
// componentversion interface alone. The slots continue componentversion's:
// the order is the binary contract.
class BRENMOOR_SHARED componentversion_libraries : public componentversion {
 public:
  static constexpr GUID class_guid = {
      0xD4C47890, 0xB6BF, 0x4B91, {0xB9, 0x07, 0x6B, 0xEF, 0xA7, 0x75, 0x7B, 0x66}};

  // slot 8: one line per library, each ending in "\n": its name, a space
  // and its version as the library reports it when asked at run time; a
  // library that cannot be asked gives its header's version, followed by
  // " (from its header at build time)".
  virtual void write_library_versions(plix::string_base& out) = 0;

 protected:
  ~componentversion_libraries() = default;
};

class BRENMOOR_SHARED component_installation_validator : public service_base {
 public:
  static constexpr GUID class_guid = {
      0x0639283E, 0x3004, 0x4E5C, {0xB1, 0xB3, 0x6D, 0xFF, 0x08, 0xA7, 0x92, 0x84}};

  virtual bool check_installation() = 0;  // slot 4

 protected:
  ~component_installation_validator() = default;
};

// Reports the module name the host handed over, and "Brenmoor", "1.8" and
// the description; as componentversion_libraries, zlib, ISA-L, liblzma and
// libzstd.
class componentversion_myimpl : public componentversion_libraries {
 public:
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  void write_module_name(plix::string_base& out) override;
  void write_display_name(plix::string_base& out) override;
  void write_version(plix::string_base& out) override;
  void write_description(plix::string_base& out) override;
  void write_library_versions(plix::string_base& out) override;
};

// True exactly when the module file's name (after the last "\", "/", "|"
// or ":") is "brenmoor.dll", byte for byte.
class component_installation_validator_filename : public component_installation_validator {
 public:
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  bool check_installation() override;

 private:
  const char* expected_name = "brenmoor.dll";
};
