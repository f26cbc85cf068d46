// brenmoor: lists, prints, unpacks, extracts and mounts archive members
// through the Brenmoor module, loaded the way a media-player host loads it.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/mount_command.h"
#include "tools/output.h"

namespace {

// The signals that ask the program to stop: Ctrl-C, kill's default, and a
// closed terminal.
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The abort the signals set; null outside the host's lifetime.
std::atomic<host_abort_callback*> g_stop_target{nullptr};
static_assert(std::atomic<host_abort_callback*>::is_always_lock_free);
// The first stop signal received, 0 before one.
volatile sig_atomic_t g_stop_signal = 0;

// The first stop signal asks the running operation to stop, so partial
// outputs can be removed; a second one, or one without a host to stop,
// ends the program at once by that signal. The handler runs with all
// stop signals blocked, so two of them never race here.
void on_stop_signal(int signal_number) {
  host_abort_callback* target = g_stop_target.load();
  if (target == nullptr || g_stop_signal != 0) {
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
    return;
  }
  g_stop_signal = signal_number;
  target->abort();
  mount_stop_signal();
}

// Installed after the module has loaded, replacing the module's own
// handlers. Without SA_RESTART, a blocked read or write returns EINTR and
// the abort flag is seen at once.
void install_stop_handlers(host_abort_callback& abort) {
  g_stop_target.store(&abort);
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : stop_signals) sigaddset(&action.sa_mask, signal_number);
  action.sa_flags = 0;
  for (int signal_number : stop_signals) ::sigaction(signal_number, &action, nullptr);
}

// 128 + the signal that stopped the program (SIGINT's when none did: an
// abort that came another way is reported as Ctrl-C's).
int stopped_status() {
  return exit_signal_base + (g_stop_signal != 0 ? g_stop_signal : SIGINT);
}

// Detaches the handlers from the host before the host goes.
struct stop_target_reset {
  ~stop_target_reset() { g_stop_target.store(nullptr); }
};

// The module file when none is named: the brenmoor.dll beside the running
// program when there is one (a build tree), else the one installed with the
// program (BRENMOOR_INSTALLED_MODULE: the install prefix's library folder,
// fixed when the program is built).
std::string default_module_path() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<size_t>(n));
    std::string beside = path.substr(0, path.find_last_of('/') + 1) + "brenmoor.dll";
    if (::access(beside.c_str(), F_OK) == 0) return beside;
  }
  return BRENMOOR_INSTALLED_MODULE;
}

std::string module_path(const arguments& args) {
  if (!args.module.empty()) return args.module;
  const char* from_environment = std::getenv("BRENMOOR_MODULE");
  if (from_environment != nullptr && from_environment[0] != '\0') return from_environment;
  return default_module_path();
}

// Loads the module file that `args` lead to; reports why it failed and
// returns false.
bool load_module(sonovale_host& host, const arguments& args) {
  std::string module = module_path(args);
  try {
    host.load_module(module);
  } catch (const std::exception& e) {
    report_error(module, e.what());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  arguments args;
  try {
    args = parse_arguments(argc, argv);
  } catch (const usage_error& e) {
    report_message(std::string(e.what()) + "\nTry 'brenmoor --help'.");
    return exit_usage;
  }
  // A closed pipe shows as EPIPE from write, handled where output is written.
  ::signal(SIGPIPE, SIG_IGN);

  int status = exit_ok;
  bool output_gone = false;
  {
    sonovale_host host;
    stop_target_reset detach_handlers;
    output_setup(&host.abort(), host.abort().wake_fd(), ::isatty(STDOUT_FILENO) == 1);
    try {
      if (args.help) {
        output_write(help_text(args.command));
      } else if (args.version) {
        // The program's part first: it stands even when the module fails.
        output_write(std::string("brenmoor ") + BRENMOOR_VERSION + "\n  libfuse " +
                     fuse_library_version() + "\n");
        if (!load_module(host, args)) return exit_error;
        output_write(module_version_text(host));
      } else if (args.command == command_id::umount) {
        status = run_umount(args);  // needs no module
      } else {
        if (!load_module(host, args)) return exit_error;
        install_stop_handlers(host.abort());
        status = run_command(host, args);
      }
      output_flush();
    } catch (const sonovale_io::exception_aborted&) {
      status = stopped_status();
    } catch (const output_closed&) {
      output_gone = true;
    } catch (const std::exception& e) {
      report_message(e.what());
      status = exit_error;
    }
    if (host.abort().is_aborting()) status = stopped_status();
  }
  if (output_gone) {
    // End as programs writing to a closed pipe usually do: by SIGPIPE,
    // without a message.
    ::signal(SIGPIPE, SIG_DFL);
    ::raise(SIGPIPE);
  }
  return status;
}
