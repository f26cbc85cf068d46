// The exit statuses of `brenmoor`.
#pragma once

constexpr int exit_ok = 0;
constexpr int exit_error = 1;
constexpr int exit_usage = 2;
constexpr int exit_refused = 3;
// Stopped by a signal (SIGINT, SIGTERM, SIGHUP): this plus its number.
constexpr int exit_signal_base = 128;
