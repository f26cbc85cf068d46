// brenmoor: lists, prints, unpacks and extracts archive members through the
// Brenmoor module, loaded the way a media-player host loads it.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/output.h"

namespace {

host_abort_callback* g_interrupt_target = nullptr;

// The first Ctrl-C asks the running operation to stop, so partial outputs
// can be removed; a second one ends the program at once.
void on_interrupt(int) {
  if (g_interrupt_target->is_aborting()) {
    ::signal(SIGINT, SIG_DFL);
    ::raise(SIGINT);
    return;
  }
  g_interrupt_target->abort();
}

// Installed after the module has loaded, replacing the module's own
// handler. Without SA_RESTART, a blocked read or write returns EINTR and
// the abort flag is seen at once.
void install_interrupt_handler(host_abort_callback& abort) {
  g_interrupt_target = &abort;
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(SIGINT, &action, nullptr);
}

// The brenmoor.dll beside the running program.
std::string default_module_path() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "brenmoor.dll";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.find_last_of('/') + 1) + "brenmoor.dll";
}

std::string module_path(const arguments& args) {
  if (!args.module.empty()) return args.module;
  const char* from_environment = std::getenv("BRENMOOR_MODULE");
  if (from_environment != nullptr && from_environment[0] != '\0') return from_environment;
  return default_module_path();
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
    output_setup(&host.abort(), host.abort().wake_fd(), ::isatty(STDOUT_FILENO) == 1);
    try {
      if (args.help) {
        output_write(help_text(args.command));
      } else {
        std::string module = module_path(args);
        try {
          host.load_module(module);
        } catch (const std::exception& e) {
          report_error(module, e.what());
          return exit_error;
        }
        install_interrupt_handler(host.abort());
        status = run_command(host, args);
      }
      output_flush();
    } catch (const sonovale_io::exception_aborted&) {
      status = exit_interrupted;
    } catch (const output_closed&) {
      output_gone = true;
    } catch (const std::exception& e) {
      report_message(e.what());
      status = exit_error;
    }
    if (host.abort().is_aborting()) status = exit_interrupted;
  }
  if (output_gone) {
    // End as programs writing to a closed pipe usually do: by SIGPIPE,
    // without a message.
    ::signal(SIGPIPE, SIG_DFL);
    ::raise(SIGPIPE);
  }
  return status;
}
