// `brenmoor mount` and `brenmoor umount`: an archive as a read-only folder
// over FUSE, and its unmounting.
#pragma once

#include "host/host.h"
#include "tools/arguments.h"

// Lists args.paths[0] through the module (with the progress line), mounts
// its tree at args.paths[1] and serves it until it is unmounted or a stop
// signal ends the loop (mount_stop_signal), then unmounts. Without
// args.foreground the program detaches once the mount is up: the calling
// process exits 0 there and the rest runs in the background. Returns the
// exit status; failures to list or to mount are reported and give 1.
// exception_aborted leaves it when the listing was stopped.
int run_mount(sonovale_host& host, const arguments& args);

// Unmounts args.paths[0] with fusermount3 -u. Needs no module.
int run_umount(const arguments& args);

// Ends the FUSE loop of a running mount, if any. Async-signal-safe: the
// stop-signal handler calls it after setting the host's abort.
void mount_stop_signal();

// The version of the FUSE library the program runs with, as it reports it
// ("3.14.0").
const char* fuse_library_version();
