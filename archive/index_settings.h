// Where the content index lives, as the environment chooses it.
//
// BRENMOOR_INDEX selects the index: unset or empty, a database under the
// user's cache folder ($XDG_CACHE_HOME/brenmoor when XDG_CACHE_HOME is an
// absolute path, else $HOME/.cache/brenmoor); "memory", the process's own
// memory only; "off", no index at all (every operation decodes from the
// start); anything else, the folder that holds the database.
// BRENMOOR_INDEX_SIZE bounds the database: a number of bytes with an
// optional K, M, G or T suffix (powers of 1024), 1 GiB when unset or not
// such a number.
#pragma once

#include <cstdint>
#include <string>

enum class index_mode { disk, memory, off };

struct index_settings {
  index_mode mode = index_mode::memory;
  std::string folder;  // disk only
  uint64_t budget = uint64_t{1} << 30;
};

// The settings the variables' values give; null stands for an unset one.
index_settings parse_index_settings(const char* index, const char* size, const char* cache_home,
                                    const char* home);

// The settings of this process's environment.
index_settings index_settings_from_environment();

// Makes `folder` and any missing parent with mode 0700. Returns false when
// it cannot be made or is not a folder.
bool make_private_folder(const std::string& folder);
