#include "component/module.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

#include "component/config.h"
#include "io/string.h"

namespace {

uintptr_t g_entry_param = 0;
bool g_host_flag = false;
bool g_sticky_host_flag = false;

// The two texts the host hands over; empty until set_module_path.
plix::string8 g_module_path;
plix::string8 g_module_name;

class module_client_impl final : public module_client {
 public:
  uint32_t get_interface_version() override { return 76; }
  service_factory_base* get_factory_list() override { return factory_list_head(); }
  void write_config(sonovale_io::stream_writer* target, abort_callback& abort) override {
    ::write_config(*target, abort);
  }
  void read_config(sonovale_io::stream_reader* source, abort_callback& abort) override {
    ::read_config(*source, abort);
  }
  void set_module_path(const char* path, const char* name) override {
    // Copy both first, so that a failed allocation leaves the earlier pair whole.
    plix::string8 new_path(path);
    plix::string8 new_name(name);
    g_module_path = new_path;
    g_module_name = new_name;
  }
  void set_host_flag(bool value) override {
    g_host_flag = value;
    if (value) g_sticky_host_flag = true;
  }
  bool get_build_flag() override { return false; }
};

module_client_impl g_client;

// Writes "brenmoor: fatal signal N (code 0x6F8E1DC8)" with async-signal-safe
// calls only, then lets the signal end the process.
void fatal_signal_handler(int sig) {
  char line[80] = "brenmoor: fatal signal ";
  size_t n = std::strlen(line);
  char digits[12];
  int d = 0;
  unsigned v = static_cast<unsigned>(sig);
  do {
    digits[d++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (d > 0) line[n++] = digits[--d];
  const char tail[] = " (code 0x6F8E1DC8)\n";
  std::memcpy(line + n, tail, sizeof tail - 1);
  n += sizeof tail - 1;
  ssize_t ignored = ::write(STDERR_FILENO, line, n);
  (void)ignored;
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

void install_fatal_signal_handler() {
  std::signal(SIGINT, fatal_signal_handler);
  std::signal(SIGTERM, fatal_signal_handler);
  std::signal(SIGABRT, fatal_signal_handler);
}

const char* module_path_text() { return g_module_path.get_ptr(); }
const char* module_name_text() { return g_module_name.get_ptr(); }
bool module_host_flag() { return g_host_flag; }
bool module_sticky_host_flag() { return g_sticky_host_flag; }

extern "C" module_client* sonovale_get_interface(host_api* api, uintptr_t param) {
  set_module_host_api(api);
  g_entry_param = param;
  return &g_client;
}
