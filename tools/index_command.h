// `brenmoor index --status` and `--drop`: the content index on disk, read
// and pruned by the program itself (building it goes through the module).
#pragma once

#include <string>
#include <vector>

#include "host/host.h"

// Prints where the index lives, its size and budget, and the archives it
// holds. Returns the exit status.
int show_index_status();

// Removes the entries of each archive in `paths` (local files or member
// paths, opened through `host`), reporting each; returns the exit status.
int drop_from_index(sonovale_host& host, const std::vector<std::string>& paths);
