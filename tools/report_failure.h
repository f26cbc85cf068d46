// Reporting the failure of one path, so a command can go on with the next,
// unless the failure is the user's abort.
#pragma once

#include <string_view>

#include "io/abort.h"

// Call only while an exception is being handled (inside a catch block).
// Writes "brenmoor: <path>: <message of that exception>" to standard error
// (report_error). Throws exception_aborted instead when the exception is
// one, or when `abort` is set: a layer may have turned the abort into
// another error on its way up, and an aborted command reports nothing.
// Exceptions that are not std::exception (output_closed) are rethrown.
void report_failure(std::string_view path, const abort_callback& abort);
