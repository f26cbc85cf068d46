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

class BRENMOOR_SHARED component_installation_validator : public service_base {
 public:
  static constexpr GUID class_guid = {
      0x0639283E, 0x3004, 0x4E5C, {0xB1, 0xB3, 0x6D, 0xFF, 0x08, 0xA7, 0x92, 0x84}};

  virtual bool check_installation() = 0;  // slot 4

 protected:
  ~component_installation_validator() = default;
};

// Reports the module name the host handed over, and "Brenmoor", "1.8" and
// the description.
class componentversion_myimpl : public componentversion {
 public:
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  void write_module_name(plix::string_base& out) override;
  void write_display_name(plix::string_base& out) override;
  void write_version(plix::string_base& out) override;
  void write_description(plix::string_base& out) override;
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
