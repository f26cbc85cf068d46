// The module's entry point and its client object.
#pragma once

#include <cstdint>

#include "abi/host_api.h"
#include "io/file.h"

// The client object the host talks to. The slot order is the binary
// contract: do not reorder.
class BRENMOOR_SHARED module_client {
 public:
  virtual uint32_t get_interface_version() = 0;                 // slot 1: 76
  virtual service_factory_base* get_factory_list() = 0;         // slot 2
  virtual void write_config(sonovale_io::stream_writer* target,  // slot 3
                            abort_callback& abort) = 0;
  virtual void read_config(sonovale_io::stream_reader* source,  // slot 4
                           abort_callback& abort) = 0;
  virtual void set_module_path(const char* path, const char* name) = 0;  // slot 5
  virtual void set_host_flag(bool value) = 0;                            // slot 6
  virtual bool get_build_flag() = 0;                                     // slot 7: false

 protected:
  ~module_client() = default;
};

// The one export. Stores the host API and the second argument, and returns
// the static client object; a second call replaces both.
extern "C" BRENMOOR_SHARED module_client* sonovale_get_interface(host_api* api, uintptr_t param);

// Module-wide state, read by the identity services and tests.
const char* module_path_text();
const char* module_name_text();
bool module_host_flag();
bool module_sticky_host_flag();

// The code handed to the host when a fatal signal arrives.
constexpr uint32_t abort_signal_code = 0x6F8E1DC8;

// Installs the fatal-signal handler for SIGINT, SIGTERM and SIGABRT: it
// writes one line naming abort_signal_code and the signal to stderr,
// restores the default action and re-raises, so the process ends by it.
void install_fatal_signal_handler();
