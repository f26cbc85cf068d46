// The commands of `brenmoor`, each driving the module only through the
// services registered with the host.
#pragma once

#include "host/host.h"
#include "tools/arguments.h"
#include "tools/exit_status.h"

// Runs the command of `args` on `host`, whose module is loaded. Failures
// of single paths are reported on standard error and the command goes on
// with the next; the result is the exit status. exception_aborted and
// output_closed leave the function after partial outputs were removed.
int run_command(sonovale_host& host, const arguments& args);

// The module's part of `brenmoor --version`: "module NAME VERSION: FILE",
// then one line per library the module reports (through its
// componentversion service's library interface), indented by two spaces.
// Says so when the module has no componentversion service, or one that
// does not report libraries.
std::string module_version_text(const sonovale_host& host);
