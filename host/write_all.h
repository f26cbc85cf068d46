// Writing a whole buffer to a file descriptor: the retries and abort
// checks every writer of the host and the command-line program needs.
#pragma once

#include <sys/types.h>

#include <string_view>

#include "io/abort.h"

// Writes all of `bytes` to `fd` at its file position, in pieces of at most
// 1 MiB, retrying short writes and EINTR. Before each piece it throws
// exception_aborted when `abort` (may be null) is set, so a long write
// stops within about 1 MiB of an abort, however the writes end. When
// `wake_fd` is not -1 (a descriptor that becomes readable once `abort` is
// set), each piece first waits until `fd` takes bytes or `wake_fd` wakes:
// a stream whose reader has stalled cannot hold the caller past an abort,
// even one that arrives just before the write would block. Returns 0, or
// the errno of the write that failed (EPIPE when a pipe's reader has
// gone). Bytes before a failure or an abort may have been written.
[[nodiscard]] int write_all(int fd, std::string_view bytes, const abort_callback* abort,
                            int wake_fd = -1);

// Like write_all, for a regular file at `offset` (pwrite): the descriptor's
// own position is neither used nor moved. Regular files do not block, so
// there is no wake descriptor.
[[nodiscard]] int pwrite_all(int fd, std::string_view bytes, off_t offset,
                             const abort_callback* abort);
